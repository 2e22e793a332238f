#pragma once

#include <optional>

namespace tessaral {

// What decides whether a session window takes the whole keyboard, so that Alt+Tab, Super and
// Ctrl+Alt+arrows reach the remote computer instead of the local desktop.
struct CaptureState {
    bool fullScreen = false;
    bool active = false;             // the window has the keyboard focus
    bool capturePreference = false;  // the "captureSystemKeys" preference
    // A Ctrl+Super shortcut is being handled: what it opens must get the keyboard.
    bool handlingLocalShortcut = false;
};

bool capturesKeyboard(const CaptureState& state);

// Remembers what was last applied, so the window grabs or releases only on a change.
class KeyboardCapture {
  public:
    // True to grab, false to release, nothing when the keyboard stays as it is.
    std::optional<bool> update(const CaptureState& state);

  private:
    bool captured_ = false;
};

}  // namespace tessaral
