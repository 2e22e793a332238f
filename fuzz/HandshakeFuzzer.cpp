// The server's side of a whole connection: version, security negotiation and authentication,
// ServerInit and whatever messages follow.

#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::optional<rfb::RFBCredentials> credentials[] = {
        std::nullopt, rfb::RFBCredentials{"", "password"}, rfb::RFBCredentials{"user", "password"},
        std::nullopt};
    rfb::RFBConfiguration configuration;
    configuration.credentials = credentials[data[0] & 3];
    configuration.quality = rfb::allQualities[(data[0] >> 2) % 3];
    fuzz::runClient(configuration, data + 1, size - 1, data[0] >> 4);
    return 0;
}
