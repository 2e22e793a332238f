#include "KeyboardInput.hpp"

#include <QByteArray>

#include "ScanCode.hpp"

namespace tessaral {

namespace {

namespace KeySymbol = rfb::KeySymbol;

enum class ModifierKind { none, super, capsLock, other };

ModifierKind modifierKind(int key) {
    switch (key) {
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
        // Some setups report the Super keys as Meta.
        case Qt::Key_Meta:
            return ModifierKind::super;
        case Qt::Key_CapsLock:
            return ModifierKind::capsLock;
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
            return ModifierKind::other;
        default:
            return ModifierKind::none;
    }
}

// The key code the key-symbol rules know for a modifier, for platforms that report no keysym.
std::uint16_t macModifierCode(int key) {
    switch (key) {
        case Qt::Key_Shift:
            return 56;
        case Qt::Key_Control:
            return 59;
        case Qt::Key_Alt:
            return 58;
        case Qt::Key_AltGr:
            return 61;
        case Qt::Key_CapsLock:
            return 57;
        default:
            return 0xFFFF;
    }
}

// Keys whose meaning does not depend on the layout, in the key-code numbering of the key-symbol
// rules. 0xFFFF: none of them.
std::uint16_t macKeyCode(int key) {
    switch (key) {
        case Qt::Key_Return:
            return 36;
        case Qt::Key_Enter:
            return 76;
        case Qt::Key_Tab:
        case Qt::Key_Backtab:  // Shift+Tab: the Shift has gone to the server already
            return 48;
        case Qt::Key_Backspace:
            return 51;
        case Qt::Key_Escape:
            return 53;
        case Qt::Key_Delete:
            return 117;
        case Qt::Key_Home:
            return 115;
        case Qt::Key_End:
            return 119;
        case Qt::Key_PageUp:
            return 116;
        case Qt::Key_PageDown:
            return 121;
        case Qt::Key_Insert:
        case Qt::Key_Help:
            return 114;
        case Qt::Key_Left:
            return 123;
        case Qt::Key_Right:
            return 124;
        case Qt::Key_Down:
            return 125;
        case Qt::Key_Up:
            return 126;
        default:
            return 0xFFFF;
    }
}

std::optional<std::uint32_t> ordinaryKeysym(const KeyRecord& key) {
    if (key.nativeKeysym != 0) {
        return key.nativeKeysym;
    }
    if (key.key >= Qt::Key_F1 && key.key <= Qt::Key_F35) {
        return KeySymbol::functionKey(key.key - Qt::Key_F1 + 1);
    }
    QString characters = key.text;
    // With Ctrl held the text is a control character (Ctrl+C types U+0003, which would read as
    // keypad Enter); the key itself says which character it is.
    const bool control =
        !characters.isEmpty() && characters.at(0).category() == QChar::Other_Control;
    if ((characters.isEmpty() || control) && key.key >= Qt::Key_Space &&
        key.key <= Qt::Key_ydiaeresis) {
        characters = QString(QChar(key.key));
        if (!key.modifiers.testFlag(Qt::ShiftModifier)) {
            characters = characters.toLower();
        }
    }
    const QByteArray utf8 = characters.toUtf8();
    return KeySymbol::forKey(macKeyCode(key.key), std::string_view(utf8.constData(), utf8.size()));
}

std::uint64_t physicalKey(const KeyRecord& key) {
    if (key.scanCode != 0) {
        return key.scanCode;
    }
    return (std::uint64_t{1} << 32) | static_cast<std::uint32_t>(key.key);
}

}  // namespace

bool KeyboardInput::staysLocal(const KeyRecord& key, const KeyboardContext& context) {
    // Modifier keys themselves always go through, like the Command key on the other platform.
    if (modifierKind(key.key) != ModifierKind::none || !key.modifiers.testFlag(Qt::MetaModifier)) {
        return false;
    }
    if (key.modifiers.testFlag(Qt::ControlModifier) || !context.sendSystemShortcuts) {
        return true;
    }
    switch (key.key) {
        case Qt::Key_Q:
        case Qt::Key_W:
        case Qt::Key_H:
        case Qt::Key_M:
        case Qt::Key_QuoteLeft:
        case Qt::Key_Comma:
            return !key.modifiers.testFlag(Qt::AltModifier);
        default:
            return false;
    }
}

std::vector<KeyAction> KeyboardInput::press(const KeyRecord& key, const KeyboardContext& context) {
    std::optional<std::uint32_t> keysym;
    switch (modifierKind(key.key)) {
        case ModifierKind::super: {
            const bool right = key.key == Qt::Key_Super_R ||
                               key.nativeKeysym == KeySymbol::superRight ||
                               key.nativeKeysym == KeySymbol::metaRight;
            keysym =
                KeySymbol::modifier(right ? 54 : 55, context.commandMapping, context.serverIsApple);
            break;
        }
        case ModifierKind::capsLock: {
            // Every press toggles the lock on the server as it does here; a held key that
            // repeats must not toggle it again and again.
            if (key.autoRepeat) {
                return {};
            }
            const std::uint32_t capsLock =
                key.nativeKeysym != 0 ? key.nativeKeysym : KeySymbol::capsLock;
            const std::uint32_t xt = xtScanCode(key.scanCode);
            return {{capsLock, true, xt}, {capsLock, false, xt}};
        }
        case ModifierKind::other:
            keysym = key.nativeKeysym != 0
                         ? std::optional(key.nativeKeysym)
                         : KeySymbol::modifier(macModifierCode(key.key), context.commandMapping,
                                               context.serverIsApple);
            break;
        case ModifierKind::none:
            if (staysLocal(key, context)) {
                return {};
            }
            keysym = ordinaryKeysym(key);
            break;
    }

    const std::uint64_t physical = physicalKey(key);
    std::vector<KeyAction> actions;
    if (const auto held = held_.find(physical); held != held_.end()) {
        // A repeat keeps the keysym of the first press, so that the one release matches it even
        // if a modifier changed meanwhile.
        if (key.autoRepeat) {
            return {held->second};
        }
        // A release that never arrived: the server must not keep the old keysym held.
        if (!keysym || *keysym != held->second.keysym) {
            actions.push_back({held->second.keysym, false, held->second.xtCode});
        }
        held_.erase(held);
    }
    if (keysym) {
        const KeyAction pressed{*keysym, true, xtScanCode(key.scanCode)};
        held_[physical] = pressed;
        actions.push_back(pressed);
    }
    return actions;
}

std::vector<KeyAction> KeyboardInput::release(const KeyRecord& key, const KeyboardContext&) {
    // Auto-repeat arrives as release and press pairs; the key is still held.
    if (key.autoRepeat) {
        return {};
    }
    const auto held = held_.find(physicalKey(key));
    if (held == held_.end()) {
        return {};
    }
    const KeyAction pressed = held->second;
    held_.erase(held);
    return {{pressed.keysym, false, pressed.xtCode}};
}

std::vector<KeyAction> KeyboardInput::releaseAll() {
    std::vector<KeyAction> actions;
    for (const auto& [physical, pressed] : std::exchange(held_, {})) {
        actions.push_back({pressed.keysym, false, pressed.xtCode});
    }
    return actions;
}

}  // namespace tessaral
