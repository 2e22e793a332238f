#pragma once

// Turning wire pixels into pixel words, shared by the encodings: converters chosen once per
// rectangle, rows converted many pixels at a time, and fills.

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "DecoderInput.hpp"
#include "Decoders.hpp"

namespace rfb::decoding {

inline constexpr std::uint32_t opaqueBlack = 0xFF000000;

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

// Tight's three-byte pixel: red, green and blue, whatever the format's shifts.
struct TightRGB {
    static constexpr std::size_t size = 3;
    std::uint32_t operator()(const std::uint8_t* p) const {
        return opaqueBlack | std::uint32_t{p[0]} << 16 | std::uint32_t{p[1]} << 8 | p[2];
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

// Throws std::invalid_argument for formats other than 8, 16 or 32 bits per pixel.
const PixelFormat& checked(const PixelFormat& format);

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

// The wire bytes already are the pixel words; only alpha needs forcing. Returns how many
// words it did, a multiple of 8.
int orAlpha(const std::uint8_t* source, std::uint32_t* target, int count);

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
    // Four bytes are loaded per three-byte pixel; the surplus byte is the alpha that the OR
    // overwrites. The row's last pixel is left to the exact path so as not to read past it.
    if constexpr (std::is_same_v<Convert, CompactRGB888> && littleEndianHost) {
        for (; i + 1 < count; ++i) {
            target[i] = loadLE32(source + std::size_t(i) * 3) | opaqueBlack;
        }
    }
    if constexpr (std::is_same_v<Convert, TightRGB> && littleEndianHost) {
        for (; i + 1 < count; ++i) {
            target[i] = __builtin_bswap32(loadLE32(source + std::size_t(i) * 3)) >> 8 | opaqueBlack;
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

}  // namespace rfb::decoding
