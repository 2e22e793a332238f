#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "PixelFormat.hpp"

namespace rfb {

// How the client asks for updates: a request after each one, or, once the server has offered
// continuous updates, none at all while the server sends what changes as fast as the link takes
// it. Decides the messages only; the message loop sends them and switches its decoder.
class UpdateFlow {
  public:
    struct Step {
        std::vector<std::uint8_t> messages;
        // Decode in this format from here on.
        std::optional<PixelFormat> format;
    };

    // After each update of a `width` × `height` screen. `full` asks for the whole screen again,
    // `resized` says the update changed the screen's size, `format` is a pixel format to change to
    // (only when formatMayChange()).
    Step afterUpdate(long width, long height, bool full, bool resized,
                     std::optional<PixelFormat> format);
    // The server's EndOfContinuousUpdates: its offer of them the first time, later the answer to
    // a pause, or the server ending them on its own.
    Step endOfContinuousUpdates(long width, long height);

    // False while a change of format waits for the server to confirm where its updates change.
    bool formatMayChange() const { return !switching_; }
    bool continuous() const { return continuous_; }

  private:
    bool offered_ = false;
    bool continuous_ = false;
    // Sent while updates kept flowing: those before the server's EndOfContinuousUpdates still
    // come in the old format.
    std::optional<PixelFormat> switching_;
};

}  // namespace rfb
