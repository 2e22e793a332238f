#include "Decoders.hpp"
#include "PixelConversion.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

namespace {
constexpr std::uint32_t opaqueWhite = 0xFFFFFFFF;
constexpr int hextileSize = 16;
}  // namespace

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

}  // namespace rfb
