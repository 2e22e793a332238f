#include <string>

#include "Cursor.hpp"
#include "DecoderInput.hpp"
#include "Decoders.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

namespace {

// An ExtendedDesktopSize rectangle: its position holds why and how it came.
event::DesktopLayout readDesktopLayout(const RectHeader& rect, RFBInput& input) {
    const int count = need(input, 4)[0];
    input.advance(4);
    const std::uint8_t* p = need(input, std::size_t(count) * 16);
    event::DesktopLayout layout{.reason = event::DesktopLayout::Reason(rect.x),
                                .status = event::DesktopLayout::Status(rect.y),
                                .width = rect.width,
                                .height = rect.height,
                                .screens = {}};
    bool inside = count > 0;
    for (int i = 0; i < count; ++i, p += 16) {
        const RFBScreen screen{be32(p),     be16(p + 4),  be16(p + 6),
                               be16(p + 8), be16(p + 10), be32(p + 12)};
        inside = inside && screen.width > 0 && screen.height > 0 &&
                 screen.x + screen.width <= rect.width && screen.y + screen.height <= rect.height;
        layout.screens.push_back(screen);
    }
    input.advance(std::size_t(count) * 16);
    if (!inside) {
        layout.screens.clear();
    }
    return layout;
}

}  // namespace

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
        bool last = false, jpeg = false;
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
                jpeg = decoder.decodeTight(rect, input, framebuffer);
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
            case RFBEncoding::extendedDesktopSize: {
                event::DesktopLayout layout = readDesktopLayout(rect, input);
                // The same size again (new screens, or a refusal) keeps the picture.
                if (layout.status == event::DesktopLayout::Status::done &&
                    (rect.width != framebuffer.width() || rect.height != framebuffer.height())) {
                    framebuffer.resize(rect.width, rect.height);
                    if (observer.desktopResized) {
                        observer.desktopResized();
                    }
                }
                if (observer.desktopLayout) {
                    observer.desktopLayout(std::move(layout));
                }
                break;
            }
            case RFBEncoding::qemuExtendedKeyEvent:
                if (observer.extendedKeys) {
                    observer.extendedKeys();
                }
                break;
            case RFBEncoding::lastRect:
                last = true;
                break;
            default:
                throw RFBError::protocolViolation("encoding " + std::to_string(encoding));
        }
        if (jpeg && observer.lossy) {
            addRect(*observer.lossy, {rect.x, rect.y, rect.width, rect.height});
        }
        if (observer.statistics) {
            EncodingStatistics& statistics = (*observer.statistics)[encoding];
            statistics.rectangles += 1;
            statistics.jpegRectangles += jpeg ? 1 : 0;
            statistics.pixels += std::uint64_t(rect.width) * std::uint64_t(rect.height);
            statistics.time += std::chrono::steady_clock::now() - start;
        }
        if (last) {
            return;
        }
    }
}

}  // namespace rfb
