#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "RFBInput.hpp"
#include "Stream.hpp"

namespace rfb {

// AES-EAX records over the stream beneath, as RSA-AES sends them: a two-byte length, which is
// also the record's associated data, then the ciphertext and a 16-byte tag. Each direction counts
// its records, and the count, as 16 little-endian bytes, is the record's nonce. Keys of 16 bytes
// select AES-128, keys of 32 AES-256.
class EAXStream final : public RFBStream {
  public:
    // Records are read from `below` (what the reader had buffered, then the connection) and
    // written to `beneath`.
    EAXStream(RFBInput& below, RFBStream& beneath, std::span<const std::uint8_t> sendKey,
              std::span<const std::uint8_t> receiveKey);
    ~EAXStream() override;
    EAXStream(const EAXStream&) = delete;
    EAXStream& operator=(const EAXStream&) = delete;

    // Hands out a record's bytes only once its tag is checked; a record whose tag does not match
    // throws RFBError::secureConnectionFailed.
    std::size_t receive(std::span<std::uint8_t> space) override;
    void send(std::span<const std::uint8_t> bytes) override;

  private:
    class Direction;
    template <typename Cipher, auto setKey, auto encrypt>
    class AESDirection;
    static std::unique_ptr<Direction> directionFor(std::span<const std::uint8_t> key);
    void readRecord();

    RFBInput& below_;
    RFBStream& beneath_;
    std::unique_ptr<Direction> in_;
    std::unique_ptr<Direction> out_;
    // The newest record's plaintext, handed out from `unread_` on.
    std::vector<std::uint8_t> plaintext_;
    std::size_t unread_ = 0;
    std::mutex sendMutex_;
};

}  // namespace rfb
