#pragma once

#include <QString>
#include <array>
#include <vector>

#include "KeyboardInput.hpp"

namespace tessaral {

// The system key combinations a session sends with one click, in the order menus show them.
enum class RemoteShortcut {
    ctrlAltDelete,
    missionControl,
    spaceLeft,
    spaceRight,
    appSwitcher,
    spotlight,
    forceQuit,
    lockScreen,
    logOut
};

inline constexpr std::array<RemoteShortcut, 9> allRemoteShortcuts = {
    RemoteShortcut::ctrlAltDelete, RemoteShortcut::missionControl, RemoteShortcut::spaceLeft,
    RemoteShortcut::spaceRight,    RemoteShortcut::appSwitcher,    RemoteShortcut::spotlight,
    RemoteShortcut::forceQuit,     RemoteShortcut::lockScreen,     RemoteShortcut::logOut};

QString rawValue(RemoteShortcut shortcut);
QString title(RemoteShortcut shortcut);
QString iconName(RemoteShortcut shortcut);

// Every modifier down in order, the key down and up, the modifiers up in reverse order. The
// Command modifier is what the mapping gives for the Command key (Meta_L should it give none).
std::vector<KeyAction> keySequence(RemoteShortcut shortcut, const KeyboardContext& context);

// Each character's keysym down and up, without modifiers; characters without a keysym (a line
// feed, for one) are skipped.
std::vector<KeyAction> typingSequence(const QString& text);

}  // namespace tessaral
