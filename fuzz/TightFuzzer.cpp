// Tight updates, one after another on the same decoder so that its zlib streams carry on, in a
// fuzzed pixel format and refill size, against the plain reading in TightReference.hpp until it has
// no verdict: what it accepts must decode to the same pixels from the same bytes, what it refuses
// must fail. The framebuffer is wider than any Tight rectangle may be.

#include "Decoders.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"
#include "TightReference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const rfb::PixelFormat& format = fuzz::formatFor(data[0]);
    constexpr int width = 2100, height = 24;
    rfb::Framebuffer framebuffer(width, height);
    rfb::RectangleDecoder decoder(format);
    auto served = std::make_shared<std::size_t>(0);
    const std::span<const std::uint8_t> updates(data + 2, size - 2);
    rfb::RFBInput input =
        fuzz::inputOver(updates.data(), updates.size(), fuzz::chunkFor(data[1]), served);
    fuzz::TightReference reference;
    std::vector<std::uint32_t> expected(std::size_t(width * height), 0xFF000000);
    bool judging = true;
    for (std::size_t at = 0;;) {
        bool refused = false;
        try {
            at += judging ? reference.decode(updates.subspan(at), format, expected, width) : 0;
        } catch (const fuzz::Refused&) {
            refused = true;
        } catch (const fuzz::NoVerdict&) {
            judging = false;  // the rest is only decoded
        }
        try {
            rfb::readFramebufferUpdate(input, decoder, framebuffer, {});
        } catch (const rfb::RFBError& error) {
            // ISA-L also refuses some streams that zlib inflates.
            if (judging && !refused && !error.text().starts_with("corrupt zlib data")) {
                std::abort();  // failed where the plain reading did not
            }
            return 0;
        }
        if (judging &&
            (refused || *served - input.available() != at || framebuffer.pixels() != expected)) {
            std::abort();
        }
    }
}
