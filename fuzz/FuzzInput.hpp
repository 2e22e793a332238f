#pragma once

// What the fuzz targets share: a fuzzer's bytes served to an RFBInput in chunks whose sizes come
// from the data itself, so that every read is also exercised across refill boundaries (running
// dry is a closed stream), and formats and clients picked by selector bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "RFBClient.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace fuzz {

// `offset` counts the bytes handed out so far, for callers that want to know.
inline rfb::RFBInput inputOver(const std::uint8_t* data, std::size_t size, std::size_t chunk,
                               std::shared_ptr<std::size_t> offset = nullptr) {
    chunk = std::max<std::size_t>(chunk, 1);
    offset = offset ? offset : std::make_shared<std::size_t>(0);
    return rfb::RFBInput([=](std::span<std::uint8_t> space) -> std::size_t {
        if (*offset == size) {
            throw rfb::RFBError::connectionClosed();
        }
        std::size_t n = std::min({chunk, space.size(), size - *offset});
        std::memcpy(space.data(), data + *offset, n);
        *offset += n;
        return n;
    });
}

// The chunk sizes a selector byte picks from: single bytes, odd splits, whole receives.
inline std::size_t chunkFor(std::uint8_t selector) {
    constexpr std::size_t sizes[] = {1, 3, 7, 64, 1000, 262'144};
    return sizes[selector % std::size(sizes)];
}

// The pixel format of one of the client's qualities.
inline const rfb::PixelFormat& formatFor(std::uint8_t selector) {
    return rfb::pixelFormat(rfb::allQualities[selector % 3]);
}

// Runs a client with `configuration` as if `data` came from its server; its events are dropped.
inline void runClient(rfb::RFBConfiguration configuration, const std::uint8_t* data,
                      std::size_t size, std::uint8_t chunkSelector) {
    configuration.endpoint = rfb::RFBEndpoint::host("fuzz.invalid", 5900);
    rfb::RFBClient client(configuration);
    rfb::RFBInput input = inputOver(data, size, chunkFor(chunkSelector));
    rfb::RFBClientTesting::runOn(client, input);
    while (client.events().tryNext()) {
    }
}

}  // namespace fuzz
