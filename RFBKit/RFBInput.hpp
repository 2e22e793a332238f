#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace rfb {

// Buffered big-endian reader over everything the server sends. It pulls chunks from a refill
// function and lets decoders read straight out of its buffer after one ensure() per run.
class RFBInput {
  public:
    // Writes up to `space.size()` received bytes into `space` and returns how many it wrote
    // (0 is allowed and simply asks again). Throws on end of stream, errors and cancellation.
    using Refill = std::function<std::size_t(std::span<std::uint8_t> space)>;

    // Most bytes one refill is offered; matches the transport's receive size.
    static constexpr std::size_t chunkSize = 262'144;

    explicit RFBInput(Refill refill);

    // The bytes read ahead and the source they came from, as a reader of their own, for a filter
    // that takes over the stream beneath this reader; this one is left empty and reads from
    // `refill` from now on.
    RFBInput divert(Refill refill);

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::vector<std::uint8_t> bytes(std::size_t count);
    void skip(std::size_t count);

    // Waits until at least `count` unread bytes are buffered, consuming none.
    void ensure(std::size_t count);

    // The unread bytes, valid until the next ensure() or read.
    const std::uint8_t* data() const { return storage_.get() + position_; }
    std::size_t available() const { return size_ - position_; }
    // Consumes bytes already made available by ensure().
    void advance(std::size_t count) { position_ += count; }

    // Bytes consumed since this reader was made.
    std::uint64_t consumed() const { return consumedBefore_ + position_; }

    // Bytes currently reserved by the buffer (for memory accounting in tests and benchmarks).
    std::size_t capacity() const { return capacity_; }

  private:
    void makeRoom(std::size_t count);

    std::unique_ptr<std::uint8_t[]> storage_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t position_ = 0;
    // Consumed before the unread bytes last moved to the front of the buffer.
    std::uint64_t consumedBefore_ = 0;
    Refill refill_;
};

}  // namespace rfb
