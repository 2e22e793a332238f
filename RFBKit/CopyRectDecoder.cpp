#include "DecoderInput.hpp"
#include "Decoders.hpp"

namespace rfb {

using namespace decoding;

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

}  // namespace rfb
