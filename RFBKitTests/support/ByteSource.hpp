#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace rfb::testing {

// Builds server byte streams: big-endian fields, like the wire.
struct Bytes {
    std::vector<std::uint8_t> data;

    Bytes& u8(unsigned value) {
        data.push_back(static_cast<std::uint8_t>(value));
        return *this;
    }
    Bytes& u16(unsigned value) { return u8(value >> 8).u8(value); }
    Bytes& u32(std::uint32_t value) { return u16(value >> 16).u16(value & 0xFFFF); }
    Bytes& s32(std::int32_t value) { return u32(static_cast<std::uint32_t>(value)); }
    Bytes& raw(std::initializer_list<unsigned> bytes) {
        for (unsigned b : bytes) {
            u8(b);
        }
        return *this;
    }
    Bytes& raw(std::span<const std::uint8_t> bytes) {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes& repeat(std::size_t count, unsigned value) {
        data.insert(data.end(), count, static_cast<std::uint8_t>(value));
        return *this;
    }
    // An rgb888 pixel word as its four little-endian wire bytes.
    Bytes& rgb888(std::uint32_t word) {
        return u8(word & 0xFF).u8(word >> 8 & 0xFF).u8(word >> 16 & 0xFF).u8(word >> 24);
    }
    Bytes& rect(int x, int y, int width, int height, std::int32_t encoding) {
        return u16(unsigned(x))
            .u16(unsigned(y))
            .u16(unsigned(width))
            .u16(unsigned(height))
            .s32(encoding);
    }
    std::size_t size() const { return data.size(); }
};

// An RFBInput over a fixed byte sequence, handing out at most `step` bytes per refill so that
// tests can split every value across refills. Running dry is a closed connection.
class ByteInput {
  public:
    explicit ByteInput(std::vector<std::uint8_t> bytes, std::size_t step = RFBInput::chunkSize)
        : state_(std::make_shared<State>(State{std::move(bytes), 0, step})),
          input_([state = state_](std::span<std::uint8_t> space) {
              if (state->served == state->bytes.size()) {
                  throw RFBError::connectionClosed();
              }
              std::size_t count =
                  std::min({space.size(), state->step, state->bytes.size() - state->served});
              std::memcpy(space.data(), state->bytes.data() + state->served, count);
              state->served += count;
              return count;
          }) {}
    explicit ByteInput(const Bytes& bytes, std::size_t step = RFBInput::chunkSize)
        : ByteInput(bytes.data, step) {}

    RFBInput& operator*() { return input_; }
    RFBInput* operator->() { return &input_; }
    // Bytes the reader's user has consumed.
    std::size_t consumed() const { return state_->served - input_.available(); }
    std::size_t total() const { return state_->bytes.size(); }

  private:
    struct State {
        std::vector<std::uint8_t> bytes;
        std::size_t served;
        std::size_t step;
    };
    std::shared_ptr<State> state_;
    RFBInput input_;
};

// The text of the protocol violation that `run` raises, or a description of what happened instead.
template <class Run>
std::string violation(Run&& run) {
    try {
        run();
    } catch (const RFBError& error) {
        if (error.kind() == RFBError::Kind::protocolViolation) {
            return error.text();
        }
        return "other error: " + error.errorDescription();
    }
    return "no error";
}

// Refill sizes that every decoding test is run with: byte by byte, odd splits, whole chunks.
inline constexpr std::size_t refillSteps[] = {1, 7, RFBInput::chunkSize};

}  // namespace rfb::testing
