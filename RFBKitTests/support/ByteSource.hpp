#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Decoders.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace rfb::testing {

// Builds server byte streams: big-endian fields, like the wire.
struct Bytes {
    std::vector<std::uint8_t> data;

    Bytes& u8(unsigned value) { return raw({value}); }
    Bytes& u16(unsigned value) { return u8(value >> 8).u8(value); }
    Bytes& u32(std::uint32_t value) { return u16(value >> 16).u16(value & 0xFFFF); }
    Bytes& raw(std::initializer_list<unsigned> bytes) {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes& raw(std::span<const std::uint8_t> bytes) {
        data.insert(data.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Bytes& raw(const Bytes& bytes) { return raw(std::span(bytes.data)); }
    Bytes& repeat(std::size_t count, unsigned value) {
        data.insert(data.end(), count, static_cast<std::uint8_t>(value));
        return *this;
    }
    // An rgb888 pixel word as its four little-endian wire bytes; `bytes` 3 gives a ZRLE CPIXEL.
    Bytes& pixel(std::uint32_t word, int bytes = 4) {
        for (int i = 0; i < bytes; ++i) {
            u8(word >> 8 * i);
        }
        return *this;
    }
    Bytes& rect(int x, int y, int width, int height, std::int32_t encoding) {
        return u16(unsigned(x))
            .u16(unsigned(y))
            .u16(unsigned(width))
            .u16(unsigned(height))
            .u32(std::uint32_t(encoding));
    }
    std::size_t size() const { return data.size(); }
};

// An RFBInput over fixed bytes, handing out at most `step` bytes per refill so that tests can
// split every value across refills. Running dry is a closed connection.
class ByteInput {
  public:
    explicit ByteInput(const Bytes& bytes, std::size_t step = RFBInput::chunkSize)
        : state_(std::make_shared<State>(bytes.data)),
          input_([state = state_, step](std::span<std::uint8_t> space) {
              if (state->served == state->bytes.size()) {
                  throw RFBError::connectionClosed();
              }
              std::size_t n = std::min({space.size(), step, state->bytes.size() - state->served});
              std::memcpy(space.data(), state->bytes.data() + state->served, n);
              state->served += n;
              return n;
          }) {}

    RFBInput& operator*() { return input_; }
    RFBInput* operator->() { return &input_; }
    // Bytes the reader's user has consumed.
    std::size_t consumed() const { return state_->served - input_.available(); }
    std::size_t total() const { return state_->bytes.size(); }

  private:
    struct State {
        std::vector<std::uint8_t> bytes;
        std::size_t served = 0;
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
        return error.kind() == RFBError::Kind::protocolViolation
                   ? error.text()
                   : "other error: " + error.errorDescription();
    }
    return "no error";
}

// A framebuffer update decoded into a fresh framebuffer, and the bytes it took.
struct Decoded {
    Framebuffer framebuffer;
    std::size_t consumed;
};

// Decodes once per refill size, byte by byte, odd splits and whole chunks: every split must agree.
inline Decoded decodeUpdate(const Bytes& bytes, int width, int height,
                            const PixelFormat& format = PixelFormat::rgb888) {
    std::optional<Decoded> first;
    for (std::size_t step : {std::size_t(1), std::size_t(7), RFBInput::chunkSize}) {
        Framebuffer framebuffer(width, height);
        RectangleDecoder decoder(format);
        ByteInput input(bytes, step);
        readFramebufferUpdate(*input, decoder, framebuffer, {});
        if (!first) {
            first = Decoded{framebuffer, input.consumed()};
            continue;
        }
        EXPECT_EQ(framebuffer.pixels(), first->framebuffer.pixels()) << "step " << step;
        EXPECT_EQ(input.consumed(), first->consumed) << "step " << step;
    }
    return *first;
}

// The violation that decoding an update raises.
inline std::string updateFailure(const Bytes& bytes, int width = 32, int height = 32) {
    Framebuffer framebuffer(width, height);
    RectangleDecoder decoder(PixelFormat::rgb888);
    ByteInput input(bytes);
    return violation([&] { readFramebufferUpdate(*input, decoder, framebuffer, {}); });
}

}  // namespace rfb::testing
