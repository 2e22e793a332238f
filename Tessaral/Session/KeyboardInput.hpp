#pragma once

#include <QString>
#include <Qt>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "KeySymbol.hpp"

namespace tessaral {

// What the screen view forwards of a key event: enough to pick a keysym and to recognise the
// same physical key at its release. Built from QKeyEvent by the view, and by hand in tests.
struct KeyRecord {
    int key = 0;  // Qt::Key
    // The keysym the keyboard layout produced (QKeyEvent::nativeVirtualKey on X11 and Wayland);
    // 0 where the platform reports none, for example under the offscreen platform.
    std::uint32_t nativeKeysym = 0;
    // The physical key (QKeyEvent::nativeScanCode); 0 when unknown.
    std::uint32_t scanCode = 0;
    QString text;  // the characters the key typed, if any
    Qt::KeyboardModifiers modifiers;
    bool autoRepeat = false;
};

// One RFB KeyEvent to send.
struct KeyAction {
    std::uint32_t keysym = 0;
    bool down = false;
    // The physical key's XT scan code, for servers that take it; 0 for keys made up here.
    std::uint32_t xtCode = 0;
    bool operator==(const KeyAction&) const = default;
};

// How the keyboard reaches the remote computer, read afresh for every event.
struct KeyboardContext {
    bool sendSystemShortcuts = true;  // the "sendSystemShortcuts" preference
    rfb::KeySymbol::CommandMapping commandMapping = rfb::KeySymbol::CommandMapping::automatic;
    bool serverIsApple = false;
};

// Turns the key events of the focused screen view into RFB key events, and is the one record of
// which keys the server holds down. Every press that is sent is recorded under its physical key,
// so that its release sends the same keysym whatever changed in between (Shift let go before the
// letter, a different layout). Releases of presses that were never sent (local shortcuts) send
// nothing.
class KeyboardInput {
  public:
    // Whether the combination stays with this computer: Ctrl and Super together, Super with
    // Q, W, H, M, ` or , (unless Alt is added), and every Super combination when system
    // shortcuts are not sent. Everything else, Ctrl combinations included, goes to the remote
    // computer, and the view claims it before any application shortcut fires.
    static bool staysLocal(const KeyRecord& key, const KeyboardContext& context);

    std::vector<KeyAction> press(const KeyRecord& key, const KeyboardContext& context);
    std::vector<KeyAction> release(const KeyRecord& key, const KeyboardContext& context);
    // Forgets every recorded press and returns the releases that the server still needs.
    std::vector<KeyAction> releaseAll();

  private:
    std::map<std::uint64_t, KeyAction> held_;  // physical key -> what its press sent
};

}  // namespace tessaral
