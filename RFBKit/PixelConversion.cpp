#include "PixelConversion.hpp"

#include <stdexcept>
#include <string>

namespace rfb {

namespace decoding {

const PixelFormat& checked(const PixelFormat& format) {
    if (format.bitsPerPixel != 8 && format.bitsPerPixel != 16 && format.bitsPerPixel != 32) {
        throw std::invalid_argument(
            "unsupported pixel format: " + std::to_string(format.bitsPerPixel) + " bits per pixel");
    }
    return format;
}

// Picked at load time by the CPU (an ELF ifunc), so the binary still runs without AVX2.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
#define TESSARAL_WIDE_VECTORS __attribute__((target_clones("avx2", "default")))
#else
#define TESSARAL_WIDE_VECTORS
#endif

using Words8 = std::uint32_t __attribute__((vector_size(32)));

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

}  // namespace decoding

namespace {

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

}  // namespace rfb
