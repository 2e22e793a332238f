#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace rfb {

struct PixelFormat {
    std::uint8_t bitsPerPixel = 0;
    std::uint8_t depth = 0;
    bool bigEndian = false;
    bool trueColor = false;
    std::uint16_t redMax = 0;
    std::uint16_t greenMax = 0;
    std::uint16_t blueMax = 0;
    std::uint8_t redShift = 0;
    std::uint8_t greenShift = 0;
    std::uint8_t blueShift = 0;

    static const PixelFormat rgb888;
    static const PixelFormat rgb565;
    static const PixelFormat bgr233;

    // Reads the 16-byte wire form; none when fewer than 16 bytes are given.
    static std::optional<PixelFormat> fromBytes(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 16> encoded() const;

    int bytesPerPixel() const { return bitsPerPixel / 8; }
    bool fitsInLeastSignificantBytes() const;
    // The rgb888 layout, whose pixel value is the pixel word once alpha is forced.
    bool isDirectRGB888() const;

    // The wire pixel value of `bytesPerPixel` bytes at `p`, in this format's byte order.
    std::uint32_t readValue(const std::uint8_t* p) const;
    // Converts a pixel value to the pixel word 0xFFRRGGBB.
    std::uint32_t word(std::uint32_t value) const;

    bool operator==(const PixelFormat&) const = default;
};

// `automatic` is full colour with JPEG at a quality the link's throughput decides. Listed
// first, added last.
enum class RFBQuality { full, thousands, low, automatic };

inline constexpr std::array<RFBQuality, 4> allQualities = {RFBQuality::automatic, RFBQuality::full,
                                                           RFBQuality::thousands, RFBQuality::low};
std::string_view rawValue(RFBQuality quality);
std::string_view title(RFBQuality quality);
const PixelFormat& pixelFormat(RFBQuality quality);
std::optional<RFBQuality> qualityFromRawValue(std::string_view raw);

namespace RFBEncoding {
inline constexpr std::int32_t raw = 0;
inline constexpr std::int32_t copyRect = 1;
inline constexpr std::int32_t rre = 2;
inline constexpr std::int32_t hextile = 5;
inline constexpr std::int32_t tight = 7;
inline constexpr std::int32_t zrle = 16;
inline constexpr std::int32_t cursor = -239;
inline constexpr std::int32_t desktopSize = -223;
inline constexpr std::int32_t lastRect = -224;
inline constexpr std::int32_t fence = -312;
inline constexpr std::int32_t continuousUpdates = -313;
// Tight's levels, 0 to 9 added to these: JPEG quality (its absence asks for lossless Tight) and
// compression.
inline constexpr std::int32_t jpegQuality0 = -32;
inline constexpr std::int32_t compressionLevel0 = -256;
inline constexpr std::int32_t extendedDesktopSize = -308;
inline constexpr std::int32_t qemuExtendedKeyEvent = -258;
inline constexpr std::int32_t extendedClipboard = static_cast<std::int32_t>(0xC0A1E5CE);
}  // namespace RFBEncoding

}  // namespace rfb
