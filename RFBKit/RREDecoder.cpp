#include "Decoders.hpp"
#include "PixelConversion.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

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

}  // namespace rfb
