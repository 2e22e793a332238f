#include <string>

#include "Decoders.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
#define TESSARAL_BYTE_SHUFFLES 1
#endif

#include "PixelConversion.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

namespace {

constexpr std::uint32_t maxZRLELength = 64 * 1024 * 1024;
constexpr int zrleTileSize = 64;

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

}  // namespace

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

}  // namespace rfb
