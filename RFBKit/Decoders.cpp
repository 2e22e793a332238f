#include "Decoders.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
#define TESSARAL_BYTE_SHUFFLES 1
#endif

#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace rfb {

namespace {

constexpr std::uint32_t opaqueBlack = 0xFF000000;
constexpr std::uint32_t opaqueWhite = 0xFFFFFFFF;
constexpr std::uint32_t maxZRLELength = 64 * 1024 * 1024;
constexpr int hextileSize = 16;
constexpr int zrleTileSize = 64;

// The availability check inlined; the out-of-line ensure() runs only when a refill is due.
inline const std::uint8_t* need(RFBInput& input, std::size_t count) {
    if (input.available() < count) {
        input.ensure(count);
    }
    return input.data();
}

inline int be16(const std::uint8_t* p) {
    return p[0] << 8 | p[1];
}

inline std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

inline std::uint32_t loadLE32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap32(value);
    }
    return value;
}

// Pixel converters: each turns `size` bytes into a pixel word. The hot loops are instantiated
// once per converter, so the format is decided once per rectangle rather than per pixel.
struct DirectRGB888 {
    static constexpr std::size_t size = 4;
    std::uint32_t operator()(const std::uint8_t* p) const { return loadLE32(p) | opaqueBlack; }
};

struct CompactRGB888 {
    static constexpr std::size_t size = 3;
    std::uint32_t operator()(const std::uint8_t* p) const {
        return opaqueBlack | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
    }
};

// The tables are indexed by the bytes in wire order read as little-endian, so that the byte
// order of the format is folded into the table when it is built.
struct Lookup16 {
    static constexpr std::size_t size = 2;
    const PixelTable* table;
    std::uint32_t operator()(const std::uint8_t* p) const { return table->words[p[0] | p[1] << 8]; }
};

struct Lookup8 {
    static constexpr std::size_t size = 1;
    const PixelTable* table;
    std::uint32_t operator()(const std::uint8_t* p) const { return table->words[p[0]]; }
};

// Little-endian 16-bit true colour, computed rather than looked up: a table of all 65536 values
// would take a quarter of a megabyte of cache and a millisecond to build per connection.
// The channels are held by value: behind a pointer they would have to be reloaded after every
// pixel store, which might alias them.
struct Scaled16 {
    static constexpr std::size_t size = 2;
    PixelTable::Channels channels;
    std::uint32_t operator()(const std::uint8_t* p) const {
        const std::uint32_t value = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
        const auto& [red, green, blue] = channels;
        return opaqueBlack | scaled(value, red) << 16 | scaled(value, green) << 8 |
               scaled(value, blue);
    }
    static std::uint32_t scaled(std::uint32_t value, const PixelTable::Channel& c) {
        return ((value >> c.shift & c.mask) << c.lift) * c.factor >> 16;
    }
};

struct Generic32 {
    static constexpr std::size_t size = 4;
    const PixelFormat* format;
    std::uint32_t operator()(const std::uint8_t* p) const {
        return format->word(format->readValue(p));
    }
};

// A three-byte compact pixel carries either the low or the high three bytes of the value.
struct GenericCompact {
    static constexpr std::size_t size = 3;
    const PixelFormat* format;
    bool low;
    std::uint32_t operator()(const std::uint8_t* p) const {
        std::uint32_t b0 = p[0], b1 = p[1], b2 = p[2];
        std::uint32_t value;
        if (low) {
            value = format->bigEndian ? b0 << 16 | b1 << 8 | b2 : b0 | b1 << 8 | b2 << 16;
        } else {
            value =
                format->bigEndian ? b0 << 24 | b1 << 16 | b2 << 8 : b0 << 8 | b1 << 16 | b2 << 24;
        }
        return format->word(value);
    }
};

const PixelFormat& checked(const PixelFormat& format) {
    if (format.bitsPerPixel != 8 && format.bitsPerPixel != 16 && format.bitsPerPixel != 32) {
        throw std::invalid_argument(
            "unsupported pixel format: " + std::to_string(format.bitsPerPixel) + " bits per pixel");
    }
    return format;
}

template <class Body>
auto withPixels(const PixelFormat& format, const PixelTable& table, Body&& body) {
    switch (format.bitsPerPixel) {
        case 8:
            return body(Lookup8{&table});
        case 16:
            if (table.channels) {
                return body(Scaled16{*table.channels});
            }
            return body(Lookup16{&table});
        default:
            if (format.isDirectRGB888() && !format.bigEndian) {
                return body(DirectRGB888{});
            }
            return body(Generic32{&format});
    }
}

template <class Body>
auto withCompactPixels(const PixelFormat& format, const PixelTable& table, Body&& body) {
    if (format.bitsPerPixel == 32 && format.trueColor && format.depth <= 24) {
        if (format.isDirectRGB888() && !format.bigEndian) {
            return body(CompactRGB888{});
        }
        return body(GenericCompact{&format, format.fitsInLeastSignificantBytes()});
    }
    return withPixels(format, table, std::forward<Body>(body));
}

// Four pixel words in one vector register (SSE2 on x86-64, NEON on ARM). Written out because
// the compiler does not vectorize these loops at -O2.
using Words4 = std::uint32_t __attribute__((vector_size(16)));
constexpr bool littleEndianHost = std::endian::native == std::endian::little;

// Narrow fills (the subrectangles of text) are common, so any count from 4 up is done in whole
// vector stores, the last one overlapping the one before.
inline void fillWords(std::uint32_t* target, int count, std::uint32_t word) {
    if (count < 4) {
        for (int i = 0; i < count; ++i) {
            target[i] = word;
        }
        return;
    }
    const Words4 words = {word, word, word, word};
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        std::memcpy(target + i, &words, sizeof words);
        std::memcpy(target + i + 4, &words, sizeof words);
    }
    if (i + 4 <= count) {
        std::memcpy(target + i, &words, sizeof words);
        i += 4;
    }
    if (i < count) {
        std::memcpy(target + count - 4, &words, sizeof words);
    }
}

inline void fillRect(std::uint32_t* origin, std::size_t stride, int width, int height,
                     std::uint32_t word) {
    for (int r = 0; r < height; ++r) {
        fillWords(origin + std::size_t(r) * stride, width, word);
    }
}

// Picked at load time by the CPU (an ELF ifunc), so the binary still runs without AVX2.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define TESSARAL_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define TESSARAL_WIDE_VECTORS
#endif

using Words8 = std::uint32_t __attribute__((vector_size(32)));

// The wire bytes already are the pixel words; only alpha needs forcing. Returns how many
// words it did, a multiple of 8.
TESSARAL_WIDE_VECTORS int orAlpha(const std::uint8_t* source, std::uint32_t* target, int count) {
    const Words8 alpha = {opaqueBlack, opaqueBlack, opaqueBlack, opaqueBlack,
                          opaqueBlack, opaqueBlack, opaqueBlack, opaqueBlack};
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        Words8 words;
        std::memcpy(&words, source + std::size_t(i) * 4, sizeof words);
        words |= alpha;
        std::memcpy(target + i, &words, sizeof words);
    }
    return i;
}

#if defined(__SSE2__)
// Eight 8- or 16-bit true-colour pixels at a time, in 16-bit lanes (SSE2 is part of x86-64).
// Returns how many it did, a multiple of 8.
template <std::size_t Size>
int scaleChannels(const std::uint8_t* source, std::uint32_t* target, int count,
                  const PixelTable::Channels& channels) {
    struct Lanes {
        __m128i shift, mask, lift, factor;
    };
    auto lanes = [](const PixelTable::Channel& c) {
        return Lanes{_mm_cvtsi32_si128(int(c.shift)), _mm_set1_epi16(short(c.mask)),
                     _mm_cvtsi32_si128(int(c.lift)), _mm_set1_epi16(short(c.factor))};
    };
    const auto& [redChannel, greenChannel, blueChannel] = channels;
    const Lanes red = lanes(redChannel), green = lanes(greenChannel), blue = lanes(blueChannel);
    const __m128i alpha = _mm_set1_epi16(short(0xFF00));
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i value;
        if constexpr (Size == 1) {
            value = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + i)),
                                      _mm_setzero_si128());
        } else {
            value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * std::size_t(i)));
        }
        auto scaled = [&](const Lanes& c) {
            __m128i v = _mm_and_si128(_mm_srl_epi16(value, c.shift), c.mask);
            return _mm_mulhi_epu16(_mm_sll_epi16(v, c.lift), c.factor);
        };
        const __m128i low = _mm_or_si128(_mm_slli_epi16(scaled(green), 8), scaled(blue));
        const __m128i high = _mm_or_si128(scaled(red), alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), _mm_unpacklo_epi16(low, high));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i + 4), _mm_unpackhi_epi16(low, high));
    }
    return i;
}
#endif

template <class Convert>
inline void convertRow(const std::uint8_t* source, std::uint32_t* target, int count,
                       Convert convert) {
    int i = 0;
    if constexpr (std::is_same_v<Convert, DirectRGB888> && littleEndianHost) {
        i = orAlpha(source, target, count);
    }
#if defined(__SSE2__)
    if constexpr (std::is_same_v<Convert, Scaled16>) {
        i = scaleChannels<2>(source, target, count, convert.channels);
    }
    if constexpr (std::is_same_v<Convert, Lookup8>) {
        if (convert.table->channels) {
            i = scaleChannels<1>(source, target, count, *convert.table->channels);
        }
    }
#endif
    if constexpr (std::is_same_v<Convert, CompactRGB888> && littleEndianHost) {
        // Four bytes are loaded per three-byte pixel; the surplus byte is the alpha that the OR
        // overwrites. The row's last pixel is left to the exact path so as not to read past it.
        for (; i + 1 < count; ++i) {
            target[i] = loadLE32(source + std::size_t(i) * 3) | opaqueBlack;
        }
    }
    for (; i < count; ++i) {
        target[i] = convert(source + std::size_t(i) * Convert::size);
    }
}

template <class Convert>
void rawRows(RFBInput& input, std::uint32_t* origin, std::size_t stride, int width, int height,
             Convert convert) {
    if (width < 1 || height < 1) {
        return;
    }
    const std::size_t rowBytes = std::size_t(width) * Convert::size;
    for (int row = 0; row < height;) {
        const std::uint8_t* source = need(input, rowBytes);
        // Converts every complete row that is already buffered before asking for more.
        int rows =
            int(std::min<std::size_t>(std::size_t(height - row), input.available() / rowBytes));
        for (int r = 0; r < rows; ++r) {
            convertRow(source + std::size_t(r) * rowBytes, origin + std::size_t(row + r) * stride,
                       width, convert);
        }
        input.advance(std::size_t(rows) * rowBytes);
        row += rows;
    }
}

[[noreturn]] void zrleTruncated() {
    throw RFBError::protocolViolation("ZRLE data truncated");
}
[[noreturn]] void zrlePaletteIndex() {
    throw RFBError::protocolViolation("ZRLE palette index");
}
[[noreturn]] void zrleRunOverflow() {
    throw RFBError::protocolViolation("ZRLE run overflows tile");
}

#if defined(TESSARAL_BYTE_SHUFFLES)
// SSSE3 is not part of x86-64 itself, so its byte shuffle is used only where the CPU has it.
const bool hasByteShuffles = __builtin_cpu_supports("ssse3");

// Sixteen bytes of four-bit indices (thirty-two pixels) at a time: one byte shuffle looks up
// one byte of sixteen pixel words, from `planes` (byte k of every palette word). Returns how
// many bytes it did; `highest` grows to the largest index among them.
[[gnu::target("ssse3")]] int nibbleBytes(const std::uint8_t* in, int count, std::uint32_t* out,
                                         const std::uint8_t (&planes)[4][16], unsigned& highest) {
    auto load = [](const std::uint8_t* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    };
    const __m128i plane[4] = {load(planes[0]), load(planes[1]), load(planes[2]), load(planes[3])};
    const __m128i nibble = _mm_set1_epi8(0x0F);
    __m128i top = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i bytes = load(in + i);
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
        const __m128i low = _mm_and_si128(bytes, nibble);
        top = _mm_max_epu8(top, _mm_max_epu8(high, low));
        // Each byte is two pixels, its high nibble first.
        const __m128i indices[2] = {_mm_unpacklo_epi8(high, low), _mm_unpackhi_epi8(high, low)};
        for (int half = 0; half < 2; ++half) {
            __m128i b[4];
            for (int k = 0; k < 4; ++k) {
                b[k] = _mm_shuffle_epi8(plane[k], indices[half]);
            }
            const __m128i low01 = _mm_unpacklo_epi8(b[0], b[1]);
            const __m128i high01 = _mm_unpackhi_epi8(b[0], b[1]);
            const __m128i low23 = _mm_unpacklo_epi8(b[2], b[3]);
            const __m128i high23 = _mm_unpackhi_epi8(b[2], b[3]);
            auto* target = reinterpret_cast<__m128i*>(out + 2 * i + 16 * half);
            _mm_storeu_si128(target, _mm_unpacklo_epi16(low01, low23));
            _mm_storeu_si128(target + 1, _mm_unpackhi_epi16(low01, low23));
            _mm_storeu_si128(target + 2, _mm_unpacklo_epi16(high01, high23));
            _mm_storeu_si128(target + 3, _mm_unpackhi_epi16(high01, high23));
        }
    }
    alignas(16) std::uint8_t tops[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(tops), top);
    for (std::uint8_t t : tops) {
        highest = std::max<unsigned>(highest, t);
    }
    return i;
}
#endif

// `palette` has all 16 entries, those past `paletteSize` unused. Indices out of range are only
// noted on the way and reported once the tile is done, which keeps the check out of the
// per-pixel path. At four bits, every byte value is looked up once as its pair of pixels.
template <unsigned Bits>
void packedRows(const std::uint8_t* source, std::size_t rowBytes, std::uint32_t* origin,
                std::size_t stride, int width, int height, const std::uint32_t* palette,
                unsigned paletteSize) {
    constexpr int perByte = 8 / Bits;
    constexpr unsigned mask = (1u << Bits) - 1;
    unsigned highest = 0;
    auto entry = [&](unsigned byte, int k) {
        unsigned index = byte >> (8 - Bits * unsigned(k + 1)) & mask;
        highest = std::max(highest, index);
        return palette[index];
    };
#if defined(TESSARAL_BYTE_SHUFFLES)
    const bool shuffles = Bits == 4 && hasByteShuffles && littleEndianHost;
#else
    constexpr bool shuffles = false;
#endif
    std::uint32_t pairs[Bits == 4 ? 256 : 1][2];
    std::uint8_t outOfRange[Bits == 4 ? 256 : 1];
    std::uint8_t anyOutOfRange = 0;
    // Only bytes that the shuffles leave over need the table, and a whole tile leaves none.
    if (Bits == 4 && (!shuffles || width / 2 % 16 != 0)) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            pairs[byte][0] = palette[byte >> 4];
            pairs[byte][1] = palette[byte & 15];
            outOfRange[byte] = std::max(byte >> 4, byte & 15) >= paletteSize;
        }
    }
#if defined(TESSARAL_BYTE_SHUFFLES)
    std::uint8_t planes[4][16];
    if (shuffles) {
        for (int i = 0; i < 16; ++i) {
            for (int k = 0; k < 4; ++k) {
                planes[k][i] = std::uint8_t(palette[i] >> (8 * k));
            }
        }
    }
#endif
    for (int r = 0; r < height; ++r) {
        const std::uint8_t* in = source + std::size_t(r) * rowBytes;
        std::uint32_t* out = origin + std::size_t(r) * stride;
        int c = 0;
#if defined(TESSARAL_BYTE_SHUFFLES)
        if (shuffles) {
            int done = nibbleBytes(in, width / 2, out, planes, highest);
            in += done;
            c = 2 * done;
        }
#endif
        for (; c + perByte <= width; c += perByte) {
            unsigned byte = *in++;
            if constexpr (Bits == 4) {
                std::memcpy(out + c, pairs[byte], sizeof pairs[byte]);
                anyOutOfRange |= outOfRange[byte];
            } else {
                for (int k = 0; k < perByte; ++k) {
                    out[c + k] = entry(byte, k);
                }
            }
        }
        if (c < width) {
            unsigned byte = *in;
            for (int k = 0; c + k < width; ++k) {
                out[c + k] = entry(byte, k);
            }
        }
    }
    if (highest >= paletteSize || anyOutOfRange) {
        zrlePaletteIndex();
    }
}

// Where a tile decoder's bytes come from: the whole inflated data at once, or the connection's
// stream a step at a time, so that tiles are decoded while their bytes are still in cache.
struct WholeData {
    std::span<const std::uint8_t> data;
    std::size_t consumed = 0;
    std::span<const std::uint8_t> window(std::size_t) const { return data.subspan(consumed); }
    bool complete() const { return true; }
    void consume(std::size_t count) { consumed += count; }
};

struct StreamedData {
    ZlibInflater& inflater;
    std::span<const std::uint8_t> window(std::size_t count) { return inflater.fill(count); }
    bool complete() const { return inflater.exhausted(); }
    void consume(std::size_t count) { inflater.consume(count); }
};

// A tile read past the bytes at hand while more may follow.
struct NeedMore {};

// Walks the tiles of one rectangle. The run loops keep their read position and converter in
// locals: the pixel stores could otherwise alias the members and force a reload after every run.
template <class Convert, class Source>
class ZRLETiles {
  public:
    ZRLETiles(Source& source, Convert convert, std::size_t stride)
        : source_(source), convert_(convert), stride_(stride) {}

    // `pixels` is the rectangle's top-left pixel.
    void decode(std::uint32_t* pixels, int width, int height) {
        for (int ty = 0; ty < height; ty += zrleTileSize) {
            int th = std::min(zrleTileSize, height - ty);
            for (int tx = 0; tx < width; tx += zrleTileSize) {
                int tw = std::min(zrleTileSize, width - tx);
                std::uint32_t* origin = pixels + std::size_t(ty) * stride_ + std::size_t(tx);
                // No well-formed tile is longer than this: one byte per pixel besides its
                // colour, and the largest palette.
                std::size_t bound =
                    std::size_t(tw) * std::size_t(th) * (cpixelSize + 1) + 127 * cpixelSize + 1;
                std::span<const std::uint8_t> window = source_.window(bound);
                try {
                    tile(window, origin, tw, th);
                } catch (const NeedMore&) {
                    // A malformed tile: decoded again over everything that is left, so that it
                    // fails exactly as it would with all the data at hand.
                    window = source_.window(SIZE_MAX);
                    tile(window, origin, tw, th);
                }
                source_.consume(std::size_t(p_ - window.data()));
            }
        }
    }

  private:
    static constexpr std::size_t cpixelSize = Convert::size;

    [[noreturn]] void shortOfData() const {
        if (complete_) {
            zrleTruncated();
        }
        throw NeedMore{};
    }

    const std::uint8_t* take(std::size_t count) {
        if (std::size_t(end_ - p_) < count) {
            shortOfData();
        }
        const std::uint8_t* p = p_;
        p_ += count;
        return p;
    }

    void palette(std::uint32_t* entries, unsigned count) {
        const std::uint8_t* p = take(count * cpixelSize);
        for (unsigned i = 0; i < count; ++i) {
            entries[i] = convert_(p + i * cpixelSize);
        }
    }

    void tile(std::span<const std::uint8_t> window, std::uint32_t* origin, int width, int height) {
        p_ = window.data();
        end_ = window.data() + window.size();
        complete_ = source_.complete();
        unsigned subencoding = *take(1);
        if (subencoding == 0) {
            const std::size_t rowBytes = std::size_t(width) * cpixelSize;
            const std::uint8_t* p = take(rowBytes * std::size_t(height));
            for (int r = 0; r < height; ++r) {
                convertRow(p + std::size_t(r) * rowBytes, origin + std::size_t(r) * stride_, width,
                           convert_);
            }
        } else if (subencoding == 1) {
            fillRect(origin, stride_, width, height, convert_(take(cpixelSize)));
        } else if (subencoding <= 16) {
            std::uint32_t entries[16] = {};
            palette(entries, subencoding);
            unsigned bits = subencoding == 2 ? 1 : subencoding <= 4 ? 2 : 4;
            const std::size_t rowBytes = (std::size_t(width) * bits + 7) / 8;
            const std::uint8_t* p = take(rowBytes * std::size_t(height));
            switch (bits) {
                case 1:
                    packedRows<1>(p, rowBytes, origin, stride_, width, height, entries,
                                  subencoding);
                    break;
                case 2:
                    packedRows<2>(p, rowBytes, origin, stride_, width, height, entries,
                                  subencoding);
                    break;
                default:
                    packedRows<4>(p, rowBytes, origin, stride_, width, height, entries,
                                  subencoding);
                    break;
            }
        } else if (subencoding == 128) {
            plainRuns(width, height);
            copyRows(origin, width, height);
        } else if (subencoding >= 130) {
            std::uint32_t entries[127];
            unsigned count = subencoding - 128;
            palette(entries, count);
            paletteRuns(width, height, entries, count);
            copyRows(origin, width, height);
        } else {
            throw RFBError::protocolViolation("ZRLE subencoding " + std::to_string(subencoding));
        }
    }

    // 1 plus every length byte up to and including the first that is not 255. Wide enough that
    // no amount of 255s can wrap before the overflow check.
    std::uint64_t runLength(const std::uint8_t*& p, const std::uint8_t* end) const {
        std::uint64_t length = 1;
        unsigned b;
        do {
            if (p == end) {
                shortOfData();
            }
            b = *p++;
            length += b;
        } while (b == 255);
        return length;
    }

    // Runs are painted into a linear copy of the tile, where they need no wrapping at row ends
    // and a short run costs one fixed-size store; copyRows() then moves the rows into place.
    // A run overshoots by up to 7 words, into pixels that later runs or the slack replace.
    static void paint(std::uint32_t* target, std::uint64_t length, std::uint32_t word) {
        const Words4 words = {word, word, word, word};
        for (std::uint64_t i = 0; i < length; i += 8) {
            std::memcpy(target + i, &words, sizeof words);
            std::memcpy(target + i + 4, &words, sizeof words);
        }
    }

    void plainRuns(int width, int height) {
        const Convert convert = convert_;
        const std::uint8_t* p = p_;
        const std::uint8_t* const end = end_;
        std::uint32_t* const linear = linear_;
        const std::uint64_t total = std::uint64_t(width) * std::uint64_t(height);
        std::uint64_t painted = 0;
        while (painted < total) {
            if (std::size_t(end - p) < cpixelSize) {
                shortOfData();
            }
            std::uint32_t word = convert(p);
            p += cpixelSize;
            std::uint64_t length = runLength(p, end);
            if (length > total - painted) {
                zrleRunOverflow();
            }
            paint(linear + painted, length, word);
            painted += length;
        }
        p_ = p;
    }

    void paletteRuns(int width, int height, const std::uint32_t* entries, unsigned count) {
        const std::uint8_t* p = p_;
        const std::uint8_t* const end = end_;
        std::uint32_t* const linear = linear_;
        const std::uint64_t total = std::uint64_t(width) * std::uint64_t(height);
        std::uint64_t painted = 0;
        while (painted < total) {
            if (p == end) {
                shortOfData();
            }
            unsigned b = *p++;
            std::uint64_t length = b & 128 ? runLength(p, end) : 1;
            unsigned index = b & 127;
            if (index >= count) {
                zrlePaletteIndex();
            }
            if (length > total - painted) {
                zrleRunOverflow();
            }
            paint(linear + painted, length, entries[index]);
            painted += length;
        }
        p_ = p;
    }

    void copyRows(std::uint32_t* origin, int width, int height) {
        for (int r = 0; r < height; ++r) {
            std::memcpy(origin + std::size_t(r) * stride_, linear_ + std::size_t(r) * width,
                        std::size_t(width) * sizeof(std::uint32_t));
        }
    }

    Source& source_;
    const std::uint8_t* p_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    bool complete_ = true;
    Convert convert_;
    std::size_t stride_;
    alignas(16) std::uint32_t linear_[zrleTileSize * zrleTileSize + 8];
};

std::size_t ceilDiv(std::size_t a, std::size_t b) {
    return (a + b - 1) / b;
}

// The factor that turns a channel value into its byte exactly as PixelFormat::word() does, by
// a multiplication instead of a division; none if no factor is exact for every value.
std::optional<PixelTable::Channel> channelScale(std::uint16_t max, std::uint8_t shift) {
    if (max == 0 || shift >= 16) {
        return PixelTable::Channel{};  // always 0 for values of at most 16 bits
    }
    if (max > 255) {
        return std::nullopt;
    }
    // The value is lifted as little as keeps the factor within 16 bits, for the most precision.
    std::uint32_t lift = 0;
    while ((255u << (16 - lift)) / max >= 65535) {
        ++lift;
    }
    const std::uint32_t factor = (255u << (16 - lift)) / max + 1;
    for (std::uint32_t c = 0; c <= max; ++c) {
        if ((c << lift) * factor >> 16 != c * 255 / max) {
            return std::nullopt;
        }
    }
    return PixelTable::Channel{shift, max, lift, factor};
}

}  // namespace

PixelTable::PixelTable(const PixelFormat& format) {
    if (format.bitsPerPixel != 8 && format.bitsPerPixel != 16) {
        return;
    }
    if (format.trueColor && !(format.bitsPerPixel == 16 && format.bigEndian)) {
        auto red = channelScale(format.redMax, format.redShift);
        auto green = channelScale(format.greenMax, format.greenShift);
        auto blue = channelScale(format.blueMax, format.blueShift);
        if (red && green && blue) {
            channels = {*red, *green, *blue};
        }
    }
    if (format.bitsPerPixel == 8) {
        words.resize(256);
        for (std::uint32_t value = 0; value < 256; ++value) {
            words[value] = format.word(value);
        }
    } else if (!channels) {
        words.resize(65536);
        for (std::uint32_t index = 0; index < 65536; ++index) {
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(index & 0xFF),
                                           static_cast<std::uint8_t>(index >> 8)};
            words[index] = format.word(format.readValue(bytes));
        }
    }
}

RectangleDecoder::RectangleDecoder(const PixelFormat& format)
    : format_(checked(format)), table_(format) {}

RectangleDecoder::~RectangleDecoder() = default;

void RectangleDecoder::setFormat(const PixelFormat& format) {
    if (format == format_) {
        return;
    }
    table_ = PixelTable(checked(format));
    format_ = format;
}

std::uint32_t RectangleDecoder::pixel(RFBInput& input) {
    return withPixels(format_, table_, [&](auto convert) {
        constexpr std::size_t size = decltype(convert)::size;
        std::uint32_t word = convert(need(input, size));
        input.advance(size);
        return word;
    });
}

void RectangleDecoder::decodeRaw(const RectHeader& rect, RFBInput& input,
                                 Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
    withPixels(format_, table_, [&](auto convert) {
        rawRows(input, origin, std::size_t(framebuffer.width()), rect.width, rect.height, convert);
    });
}

void RectangleDecoder::decodeCopyRect(const RectHeader& rect, RFBInput& input,
                                      Framebuffer& framebuffer) {
    const std::uint8_t* p = need(input, 4);
    int sourceX = be16(p);
    int sourceY = be16(p + 2);
    input.advance(4);
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    framebuffer.validate(sourceX, sourceY, rect.width, rect.height);
    framebuffer.move(sourceX, sourceY, rect.x, rect.y, rect.width, rect.height);
}

void RectangleDecoder::decodeRRE(const RectHeader& rect, RFBInput& input,
                                 Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    withPixels(format_, table_, [&](auto convert) {
        constexpr std::size_t size = decltype(convert)::size;
        const std::uint8_t* p = need(input, 4 + size);
        std::uint32_t count = be32(p);
        std::uint32_t background = convert(p + 4);
        input.advance(4 + size);
        const std::size_t stride = std::size_t(framebuffer.width());
        // An empty rectangle has no origin (it may sit just outside the store); only empty
        // subrectangles fit in it.
        std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
        if (origin) {
            fillRect(origin, stride, rect.width, rect.height, background);
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            p = need(input, size + 8);
            std::uint32_t word = convert(p);
            int sx = be16(p + size);
            int sy = be16(p + size + 2);
            int sw = be16(p + size + 4);
            int sh = be16(p + size + 6);
            input.advance(size + 8);
            if (sx + sw > rect.width || sy + sh > rect.height) {
                throw RFBError::protocolViolation("RRE subrectangle out of bounds");
            }
            if (sw > 0 && sh > 0) {
                fillRect(origin + std::size_t(sy) * stride + sx, stride, sw, sh, word);
            }
        }
    });
}

void RectangleDecoder::decodeHextile(const RectHeader& rect, RFBInput& input,
                                     Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    enum : unsigned {
        raw = 1,
        backgroundSpecified = 2,
        foregroundSpecified = 4,
        anySubrects = 8,
        subrectsColoured = 16
    };
    withPixels(format_, table_, [&](auto convert) {
        constexpr std::size_t size = decltype(convert)::size;
        const std::size_t stride = std::size_t(framebuffer.width());
        std::uint32_t* pixels = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
        std::uint32_t background = opaqueBlack;
        std::uint32_t foreground = opaqueWhite;
        for (int ty = 0; ty < rect.height; ty += hextileSize) {
            int th = std::min(hextileSize, rect.height - ty);
            for (int tx = 0; tx < rect.width; tx += hextileSize) {
                int tw = std::min(hextileSize, rect.width - tx);
                std::uint32_t* origin = pixels + std::size_t(ty) * stride + std::size_t(tx);
                unsigned subencoding = *need(input, 1);
                input.advance(1);
                if (subencoding & raw) {
                    rawRows(input, origin, stride, tw, th, convert);
                    continue;
                }
                std::size_t header = (subencoding & backgroundSpecified ? size : 0) +
                                     (subencoding & foregroundSpecified ? size : 0) +
                                     (subencoding & anySubrects ? 1 : 0);
                const std::uint8_t* p = need(input, header);
                if (subencoding & backgroundSpecified) {
                    background = convert(p);
                    p += size;
                }
                if (subencoding & foregroundSpecified) {
                    foreground = convert(p);
                    p += size;
                }
                unsigned count = subencoding & anySubrects ? *p : 0;
                input.advance(header);
                fillRect(origin, stride, tw, th, background);
                if (count == 0) {
                    continue;
                }
                bool coloured = subencoding & subrectsColoured;
                std::size_t each = (coloured ? size : 0) + 2;
                p = need(input, count * each);
                for (unsigned i = 0; i < count; ++i) {
                    std::uint32_t word = foreground;
                    if (coloured) {
                        word = convert(p);
                        p += size;
                    }
                    int sx = p[0] >> 4;
                    int sy = p[0] & 15;
                    int sw = (p[1] >> 4) + 1;
                    int sh = (p[1] & 15) + 1;
                    p += 2;
                    if (sx + sw > tw || sy + sh > th) {
                        throw RFBError::protocolViolation("hextile subrectangle out of bounds");
                    }
                    fillRect(origin + std::size_t(sy) * stride + sx, stride, sw, sh, word);
                }
                input.advance(count * each);
            }
        }
    });
}

void RectangleDecoder::decodeZRLE(const RectHeader& rect, RFBInput& input,
                                  Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    std::uint32_t length = be32(need(input, 4));
    input.advance(4);
    if (length > maxZRLELength) {
        throw RFBError::protocolViolation("ZRLE length " + std::to_string(length));
    }
    need(input, length);
    if (!zrleStream_) {
        zrleStream_ = std::make_unique<ZlibInflater>();
    }
    bool compact = format_.bitsPerPixel == 32 && format_.trueColor && format_.depth <= 24;
    std::size_t cpixel = compact ? 3 : std::size_t(format_.bytesPerPixel());
    std::size_t w = std::size_t(rect.width);
    std::size_t h = std::size_t(rect.height);
    std::size_t limit =
        w * h * (cpixel + 1) + ceilDiv(w, zrleTileSize) * ceilDiv(h, zrleTileSize) * 513 + 1024;
    zrleStream_->begin({input.data(), length}, limit);
    std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
    const std::size_t stride = std::size_t(framebuffer.width());
    withCompactPixels(format_, table_, [&](auto convert) {
        StreamedData source{*zrleStream_};
        ZRLETiles<decltype(convert), StreamedData>(source, convert, stride)
            .decode(origin, rect.width, rect.height);
    });
    zrleStream_->end();
    input.advance(length);
}

ZRLETileDecoder::ZRLETileDecoder(std::span<const std::uint8_t> data, const PixelFormat& format)
    : data_(data), format_(checked(format)), table_(format) {}

void ZRLETileDecoder::decode(const RectHeader& rect, Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
    const std::size_t stride = std::size_t(framebuffer.width());
    withCompactPixels(format_, table_, [&](auto convert) {
        WholeData source{data_, position_};
        ZRLETiles<decltype(convert), WholeData>(source, convert, stride)
            .decode(origin, rect.width, rect.height);
        position_ = source.consumed;
    });
}

void readFramebufferUpdate(RFBInput& input, RectangleDecoder& decoder, Framebuffer& framebuffer,
                           const UpdateObserver& observer) {
    const std::uint8_t* p = need(input, 3);
    int count = be16(p + 1);
    input.advance(3);
    for (int i = 0; i < count; ++i) {
        p = need(input, 12);
        RectHeader rect{be16(p), be16(p + 2), be16(p + 4), be16(p + 6)};
        auto encoding = static_cast<std::int32_t>(be32(p + 8));
        input.advance(12);
        auto start = observer.statistics ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point{};
        bool last = false;
        switch (encoding) {
            case RFBEncoding::raw:
                decoder.decodeRaw(rect, input, framebuffer);
                break;
            case RFBEncoding::copyRect:
                decoder.decodeCopyRect(rect, input, framebuffer);
                break;
            case RFBEncoding::rre:
                decoder.decodeRRE(rect, input, framebuffer);
                break;
            case RFBEncoding::hextile:
                decoder.decodeHextile(rect, input, framebuffer);
                break;
            case RFBEncoding::zrle:
                decoder.decodeZRLE(rect, input, framebuffer);
                break;
            case RFBEncoding::cursor: {
                auto cursor = readCursor(rect, input, decoder.format());
                if (observer.cursor) {
                    observer.cursor(std::move(cursor));
                }
                break;
            }
            case RFBEncoding::desktopSize:
                framebuffer.resize(rect.width, rect.height);
                if (observer.desktopResized) {
                    observer.desktopResized();
                }
                break;
            case RFBEncoding::lastRect:
                last = true;
                break;
            default:
                throw RFBError::protocolViolation("encoding " + std::to_string(encoding));
        }
        if (observer.statistics) {
            EncodingStatistics& statistics = (*observer.statistics)[encoding];
            statistics.rectangles += 1;
            statistics.pixels += std::uint64_t(rect.width) * std::uint64_t(rect.height);
            statistics.time += std::chrono::steady_clock::now() - start;
        }
        if (last) {
            return;
        }
    }
}

}  // namespace rfb
