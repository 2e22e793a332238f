#include "PixelFormat.hpp"

namespace rfb {

const PixelFormat PixelFormat::rgb888{32, 24, false, true, 255, 255, 255, 16, 8, 0};
const PixelFormat PixelFormat::rgb565{16, 16, false, true, 31, 63, 31, 11, 5, 0};
const PixelFormat PixelFormat::bgr233{8, 8, false, true, 7, 7, 3, 0, 3, 6};

namespace {

std::uint32_t shiftLeft(std::uint32_t value, unsigned shift) {
    return shift >= 32 ? 0 : value << shift;
}

std::uint32_t shiftRight(std::uint32_t value, unsigned shift) {
    return shift >= 32 ? 0 : value >> shift;
}

std::uint32_t channel(std::uint32_t value, unsigned shift, std::uint16_t max) {
    if (max == 0) {
        return 0;
    }
    return (shiftRight(value, shift) & max) * 255 / max;
}

}  // namespace

std::optional<PixelFormat> PixelFormat::fromBytes(std::span<const std::uint8_t> b) {
    if (b.size() < 16) {
        return std::nullopt;
    }
    auto be16 = [&](std::size_t i) { return static_cast<std::uint16_t>(b[i] << 8 | b[i + 1]); };
    return PixelFormat{b[0],    b[1],    b[2] != 0, b[3] != 0, be16(4),
                       be16(6), be16(8), b[10],     b[11],     b[12]};
}

std::array<std::uint8_t, 16> PixelFormat::encoded() const {
    auto hi = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    auto lo = [](std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); };
    return {bitsPerPixel,
            depth,
            std::uint8_t{bigEndian},
            std::uint8_t{trueColor},
            hi(redMax),
            lo(redMax),
            hi(greenMax),
            lo(greenMax),
            hi(blueMax),
            lo(blueMax),
            redShift,
            greenShift,
            blueShift,
            0,
            0,
            0};
}

bool PixelFormat::fitsInLeastSignificantBytes() const {
    std::uint32_t mask = shiftLeft(redMax, redShift) | shiftLeft(greenMax, greenShift) |
                         shiftLeft(blueMax, blueShift);
    return mask < 0x1000000;
}

bool PixelFormat::isDirectRGB888() const {
    return bitsPerPixel == 32 && redMax == 255 && greenMax == 255 && blueMax == 255 &&
           redShift == 16 && greenShift == 8 && blueShift == 0;
}

std::uint32_t PixelFormat::readValue(const std::uint8_t* p) const {
    switch (bitsPerPixel) {
        case 8:
            return p[0];
        case 16:
            return bigEndian ? std::uint32_t{p[0]} << 8 | p[1] : std::uint32_t{p[1]} << 8 | p[0];
        default: {
            std::uint32_t le = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                               std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
            return bigEndian ? __builtin_bswap32(le) : le;
        }
    }
}

std::uint32_t PixelFormat::word(std::uint32_t value) const {
    if (isDirectRGB888()) {
        return value | 0xFF000000;
    }
    return 0xFF000000 | channel(value, redShift, redMax) << 16 |
           channel(value, greenShift, greenMax) << 8 | channel(value, blueShift, blueMax);
}

std::string_view rawValue(RFBQuality quality) {
    switch (quality) {
        case RFBQuality::automatic:
            return "automatic";
        case RFBQuality::full:
            return "full";
        case RFBQuality::thousands:
            return "thousands";
        case RFBQuality::low:
            return "low";
    }
    return {};
}

std::string_view title(RFBQuality quality) {
    switch (quality) {
        case RFBQuality::automatic:
            return "Automatic";
        case RFBQuality::full:
            return "Full Quality";
        case RFBQuality::thousands:
            return "Thousands of Colors";
        case RFBQuality::low:
            return "256 Colors";
    }
    return {};
}

const PixelFormat& pixelFormat(RFBQuality quality) {
    switch (quality) {
        case RFBQuality::thousands:
            return PixelFormat::rgb565;
        case RFBQuality::low:
            return PixelFormat::bgr233;
        case RFBQuality::automatic:
        case RFBQuality::full:
            break;
    }
    return PixelFormat::rgb888;
}

std::optional<RFBQuality> qualityFromRawValue(std::string_view raw) {
    for (RFBQuality quality : allQualities) {
        if (rawValue(quality) == raw) {
            return quality;
        }
    }
    return std::nullopt;
}

}  // namespace rfb
