#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Decoders.hpp"
#include "FakeServer.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace rfbtest {

using namespace rfb;

// An RFBInput over fixed bytes, handing out at most `step` bytes per refill so that tests can
// split every value across refills. Running dry is a closed connection.
class ByteInput {
  public:
    explicit ByteInput(Bytes bytes, std::size_t step = RFBInput::chunkSize)
        : bytes_(std::move(bytes)),
          input_(fuzz::inputOver(bytes_.data(), bytes_.size(), step, served_)) {}
    ByteInput(const ByteInput&) = delete;  // the reader points into `bytes_`

    RFBInput& operator*() { return input_; }
    // Bytes the reader's user has consumed.
    std::size_t consumed() const { return *served_ - input_.available(); }

  private:
    Bytes bytes_;
    std::shared_ptr<std::size_t> served_ = std::make_shared<std::size_t>(0);
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

using Pixels = std::vector<std::uint32_t>;

// The pixels at `points`, to compare with a list in one check.
inline Pixels pixelsAt(const Framebuffer& framebuffer,
                       std::initializer_list<std::pair<int, int>> points) {
    Pixels out;
    for (auto [x, y] : points) {
        out.push_back(framebuffer(x, y));
    }
    return out;
}

// The header of an update of `count` rectangles, less its message type.
inline Bytes update(int count) {
    return Bytes{0}.u16(unsigned(count));
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

}  // namespace rfbtest
