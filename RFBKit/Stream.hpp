#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rfb {

// A two-way byte stream under the RFB reader and writer: the connection itself, or a filter
// (TLS, AES-EAX) over the stream beneath it once a security type has set one up.
class RFBStream {
  public:
    virtual ~RFBStream() = default;

    // Blocks until bytes arrive and returns how many were stored, at least one. Throws on end of
    // stream, errors and cancellation.
    virtual std::size_t receive(std::span<std::uint8_t> space) = 0;
    // Never blocks; bytes go out in the order sent. Safe from any thread.
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
};

}  // namespace rfb
