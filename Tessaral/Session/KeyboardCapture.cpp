#include "KeyboardCapture.hpp"

namespace tessaral {

bool capturesKeyboard(const CaptureState& state) {
    return state.active && !state.handlingLocalShortcut &&
           (state.fullScreen || state.capturePreference);
}

std::optional<bool> KeyboardCapture::update(const CaptureState& state) {
    const bool capture = capturesKeyboard(state);
    if (capture == captured_) {
        return std::nullopt;
    }
    captured_ = capture;
    return capture;
}

}  // namespace tessaral
