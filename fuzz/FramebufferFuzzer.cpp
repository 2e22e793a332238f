// Whole sessions of framebuffer updates decoded twice: into a framebuffer that shares its stores
// with the images it publishes, and into the plain reference that copies every image. After each
// update both must publish the same picture, and every image the viewer still holds must be
// unchanged, whatever the updates wrote, moved or resized in between.

#include <cstdlib>
#include <cstring>
#include <deque>

#include "Decoders.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"

// The first byte picks the pixel format; then each update is preceded by one byte that says how
// many of the images published so far the viewer keeps holding (its low two bits), and whether
// the next store is brought up to date after the update (the next bit).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const rfb::PixelFormat& format = fuzz::formatFor(data[0]);
    rfb::Framebuffer shared(24, 16), plain(24, 16, rfb::Framebuffer::Publishing::copyEachImage);
    rfb::RectangleDecoder sharedDecoder(format), plainDecoder(format);
    // Both decodings read the same stream; each needs its own reader.
    rfb::RFBInput sharedInput = fuzz::inputOver(data + 1, size - 1, 1 << 20);
    rfb::RFBInput plainInput = fuzz::inputOver(data + 1, size - 1, 1 << 20);
    std::deque<std::pair<rfb::RFBImage, rfb::RFBImage>> held;
    for (;;) {
        std::uint8_t keep;
        try {
            keep = sharedInput.u8();
            plainInput.u8();
            while (held.size() > keep % 4u) {
                held.pop_front();
            }
            rfb::readFramebufferUpdate(sharedInput, sharedDecoder, shared, {});
        } catch (const rfb::RFBError&) {
            return 0;
        }
        try {
            rfb::readFramebufferUpdate(plainInput, plainDecoder, plain, {});
        } catch (const rfb::RFBError&) {
            std::abort();  // the reference failed where the shared stores did not
        }
        held.emplace_back(*shared.makeImage(), *plain.makeImage());
        if (keep & 4u) {
            shared.prepareNextStore();
        }
        for (const auto& [image, expected] : held) {
            if (image.width() != expected.width() || image.height() != expected.height() ||
                std::memcmp(image.words(), expected.words(),
                            std::size_t(image.width()) * image.height() * 4) != 0) {
                std::abort();
            }
        }
    }
}
