#include "RFBInput.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace rfb {

RFBInput::RFBInput(Refill refill) : refill_(std::move(refill)) {}

RFBInput RFBInput::divert(Refill refill) {
    RFBInput below(std::exchange(refill_, std::move(refill)));
    below.storage_ = std::move(storage_);
    below.capacity_ = std::exchange(capacity_, 0);
    below.size_ = std::exchange(size_, 0);
    below.position_ = std::exchange(position_, 0);
    consumedBefore_ += below.position_;
    return below;
}

void RFBInput::ensure(std::size_t count) {
    while (available() < count) {
        makeRoom(count);
        std::size_t offered = std::min(chunkSize, capacity_ - size_);
        std::size_t received = refill_(std::span<std::uint8_t>(storage_.get() + size_, offered));
        size_ += std::min(received, offered);
    }
}

// Moves the unread tail to the front (at most once per refill) and makes sure `count` unread
// bytes plus one chunk fit. A buffer grown for one huge request shrinks again once it is mostly
// idle, so a server cannot pin a large allocation for the rest of the session.
void RFBInput::makeRoom(std::size_t count) {
    std::size_t unread = available();
    std::size_t needed = count + chunkSize;
    bool tooSmall = capacity_ < needed;
    bool oversized = capacity_ > 4 * needed && capacity_ > 4 * chunkSize;
    if (tooSmall || oversized) {
        auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(needed);
        if (unread > 0) {
            std::memcpy(grown.get(), data(), unread);
        }
        storage_ = std::move(grown);
        capacity_ = needed;
    } else if (position_ > 0 && unread > 0) {
        std::memmove(storage_.get(), data(), unread);
    }
    size_ = unread;
    consumedBefore_ += position_;
    position_ = 0;
}

std::uint8_t RFBInput::u8() {
    ensure(1);
    return storage_[position_++];
}

std::uint16_t RFBInput::u16() {
    ensure(2);
    const std::uint8_t* p = data();
    position_ += 2;
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t RFBInput::u32() {
    ensure(4);
    const std::uint8_t* p = data();
    position_ += 4;
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::vector<std::uint8_t> RFBInput::bytes(std::size_t count) {
    ensure(count);
    std::vector<std::uint8_t> result(data(), data() + count);
    position_ += count;
    return result;
}

void RFBInput::skip(std::size_t count) {
    ensure(count);
    position_ += count;
}

}  // namespace rfb
