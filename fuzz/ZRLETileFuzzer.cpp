// Inflated ZRLE tile data for a rectangle of fuzzed size and pixel format.

#include "Decoders.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    int width = 1 + data[0] % 160;
    int height = 1 + data[1] % 160;
    const rfb::PixelFormat& format = fuzz::formatFor(data[2]);
    rfb::Framebuffer framebuffer(width, height);
    rfb::ZRLETileDecoder decoder({data + 3, size - 3}, format);
    try {
        decoder.decode({0, 0, width, height}, framebuffer);
    } catch (const rfb::RFBError&) {
    }
    return 0;
}
