// The server's side of a whole connection: version, security negotiation and authentication,
// ServerInit and whatever messages follow.

#include "FuzzInput.hpp"
#include "RFBClient.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    std::uint8_t flags = data[0];
    rfb::RFBConfiguration configuration;
    configuration.endpoint = rfb::RFBEndpoint::host("fuzz.invalid", 5900);
    switch (flags & 3) {
        case 1:
            configuration.credentials = rfb::RFBCredentials{"", "password"};
            break;
        case 2:
            configuration.credentials = rfb::RFBCredentials{"user", "password"};
            break;
        default:
            break;
    }
    configuration.quality = rfb::allQualities[(flags >> 2) % 3];
    rfb::RFBClient client(configuration);
    rfb::RFBInput input = fuzz::inputOver(data + 1, size - 1, fuzz::chunkFor(flags >> 4));
    rfb::RFBClientTesting::runOn(client, input);
    while (client.events().tryNext()) {
    }
    return 0;
}
