// Server messages after a well-formed handshake: framebuffer updates in every encoding and
// quality, cut text, colour maps, bells.

#include <string_view>
#include <vector>

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    // Version 3.8; None, result OK; 64 × 48, the server's format, its name.
    using namespace std::string_view_literals;
    static constexpr std::string_view handshake =
        "RFB 003.008\n\x01\x01\0\0\0\0\0\x40\0\x30"
        "\x20\x18\0\x01\0\xff\0\xff\0\xff\x10\x08\0\0\0\0\0\0\0\x04"
        "fuzz"sv;
    std::vector<std::uint8_t> stream(handshake.begin(), handshake.end());
    stream.insert(stream.end(), data + 1, data + size);
    rfb::RFBConfiguration configuration;
    configuration.quality = rfb::allQualities[data[0] % 3];
    fuzz::runClient(configuration, stream.data(), stream.size(), data[0] >> 2);
    return 0;
}
