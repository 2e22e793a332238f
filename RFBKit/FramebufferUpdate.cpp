#include <string>

#include "Cursor.hpp"
#include "DecoderInput.hpp"
#include "Decoders.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

void readFramebufferUpdate(RFBInput& input, RectangleDecoder& decoder, Framebuffer& framebuffer,
                           const UpdateObserver& observer) {
    const std::uint8_t* p = need(input, 3);
    int count = be16(p + 1);
    input.advance(3);
    for (int i = 0; i < count; ++i) {
        p = need(input, 12);
        RectHeader rect{be16(p), be16(p + 2), be16(p + 4), be16(p + 6)};
        auto encoding = static_cast<std::int32_t>(be32(p + 8));
        input.advance(12);
        auto start = observer.statistics ? std::chrono::steady_clock::now()
                                         : std::chrono::steady_clock::time_point{};
        bool last = false;
        switch (encoding) {
            case RFBEncoding::raw:
                decoder.decodeRaw(rect, input, framebuffer);
                break;
            case RFBEncoding::copyRect:
                decoder.decodeCopyRect(rect, input, framebuffer);
                break;
            case RFBEncoding::rre:
                decoder.decodeRRE(rect, input, framebuffer);
                break;
            case RFBEncoding::hextile:
                decoder.decodeHextile(rect, input, framebuffer);
                break;
            case RFBEncoding::zrle:
                decoder.decodeZRLE(rect, input, framebuffer);
                break;
            case RFBEncoding::tight:
                decoder.decodeTight(rect, input, framebuffer);
                break;
            case RFBEncoding::cursor: {
                auto cursor = readCursor(rect, input, decoder.format());
                if (observer.cursor) {
                    observer.cursor(std::move(cursor));
                }
                break;
            }
            case RFBEncoding::desktopSize:
                framebuffer.resize(rect.width, rect.height);
                if (observer.desktopResized) {
                    observer.desktopResized();
                }
                break;
            case RFBEncoding::lastRect:
                last = true;
                break;
            default:
                throw RFBError::protocolViolation("encoding " + std::to_string(encoding));
        }
        if (observer.statistics) {
            EncodingStatistics& statistics = (*observer.statistics)[encoding];
            statistics.rectangles += 1;
            statistics.pixels += std::uint64_t(rect.width) * std::uint64_t(rect.height);
            statistics.time += std::chrono::steady_clock::now() - start;
        }
        if (last) {
            return;
        }
    }
}

}  // namespace rfb
