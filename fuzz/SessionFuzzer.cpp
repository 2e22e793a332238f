// Server messages after a well-formed handshake: framebuffer updates in every encoding and
// quality, cut text, colour maps, bells.

#include <vector>

#include "FuzzInput.hpp"
#include "RFBClient.hpp"

namespace {

std::vector<std::uint8_t> handshake() {
    std::vector<std::uint8_t> bytes;
    auto add = [&](std::initializer_list<std::uint8_t> b) { bytes.insert(bytes.end(), b); };
    for (char c : std::string_view("RFB 003.008\n")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    add({1, 1, 0, 0, 0, 0});                                         // None, result OK
    add({0, 64, 0, 48});                                             // 64 × 48
    add({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});  // server format
    add({0, 0, 0, 4, 'f', 'u', 'z', 'z'});
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    static const std::vector<std::uint8_t> prefix = handshake();
    std::vector<std::uint8_t> stream(prefix);
    stream.insert(stream.end(), data + 1, data + size);

    rfb::RFBConfiguration configuration;
    configuration.endpoint = rfb::RFBEndpoint::host("fuzz.invalid", 5900);
    configuration.quality = rfb::allQualities[data[0] % 3];
    rfb::RFBClient client(configuration);
    rfb::RFBInput input =
        fuzz::inputOver(stream.data(), stream.size(), fuzz::chunkFor(data[0] >> 2));
    rfb::RFBClientTesting::runOn(client, input);
    while (client.events().tryNext()) {
    }
    return 0;
}
