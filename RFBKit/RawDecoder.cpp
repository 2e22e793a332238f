#include "Decoders.hpp"
#include "PixelConversion.hpp"

namespace rfb {

using namespace decoding;

void RectangleDecoder::decodeRaw(const RectHeader& rect, RFBInput& input,
                                 Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
    withPixels(format_, table_, [&](auto convert) {
        rawRows(input, origin, std::size_t(framebuffer.width()), rect.width, rect.height, convert);
    });
}

}  // namespace rfb
