// Whole sessions of framebuffer updates decoded twice: into a framebuffer that shares its stores
// with the images it publishes, and into the plain reference that copies every image. After each
// update both must publish the same picture, and every image the viewer still holds must be
// unchanged, whatever the updates wrote, moved or resized in between.

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "Decoders.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"

namespace {

struct Decoding {
    rfb::Framebuffer framebuffer;
    rfb::RectangleDecoder decoder;
};

bool same(const rfb::RFBImage& a, const rfb::RFBImage& b) {
    return a.width() == b.width() && a.height() == b.height() &&
           std::memcmp(a.words(), b.words(),
                       std::size_t(a.width()) * a.height() * sizeof(std::uint32_t)) == 0;
}

}  // namespace

// The first byte picks the pixel format; then each update is preceded by one byte that says how
// many of the images published so far the viewer keeps holding.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const rfb::PixelFormat& format = fuzz::formatFor(data[0]);
    Decoding shared{rfb::Framebuffer(24, 16), rfb::RectangleDecoder(format)};
    Decoding plain{rfb::Framebuffer(24, 16, rfb::Framebuffer::Publishing::copyEachImage),
                   rfb::RectangleDecoder(format)};
    std::deque<std::pair<rfb::RFBImage, rfb::RFBImage>> held;

    // Both decodings read the same stream; each needs its own reader.
    rfb::RFBInput sharedInput = fuzz::inputOver(data + 1, size - 1, 1 << 20);
    rfb::RFBInput plainInput = fuzz::inputOver(data + 1, size - 1, 1 << 20);
    for (;;) {
        try {
            std::uint8_t keep = sharedInput.u8();
            plainInput.u8();
            while (held.size() > keep % 4u) {
                held.pop_front();
            }
            rfb::readFramebufferUpdate(sharedInput, shared.decoder, shared.framebuffer, {});
        } catch (const rfb::RFBError&) {
            break;
        }
        try {
            rfb::readFramebufferUpdate(plainInput, plain.decoder, plain.framebuffer, {});
        } catch (const rfb::RFBError&) {
            std::abort();  // the reference failed where the shared stores did not
        }
        auto image = shared.framebuffer.makeImage();
        auto reference = plain.framebuffer.makeImage();
        if (!same(*image, *reference)) {
            std::abort();
        }
        for (const auto& [kept, expected] : held) {
            if (!same(kept, expected)) {
                std::abort();
            }
        }
        held.emplace_back(*image, *reference);
    }
    return 0;
}
