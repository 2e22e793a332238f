#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "Framebuffer.hpp"
#include "PixelFormat.hpp"

namespace rfb {

class RFBInput;
struct RectHeader;

struct RFBCursor {
    struct Point {
        double x = 0;
        double y = 0;
    };
    RFBImage image;  // premultiplied ARGB words
    Point hotSpot;
};

// Reads a Cursor pseudo-rectangle's payload. None for a zero-sized cursor (nothing is read).
// Throws protocolViolation("cursor size") above 256 in either dimension.
std::optional<RFBCursor> readCursor(const RectHeader& rect, RFBInput& input,
                                    const PixelFormat& format);

std::optional<RFBImage> premultipliedImage(std::vector<std::uint32_t> words, int width, int height);

}  // namespace rfb
