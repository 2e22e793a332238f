// Minimal stand-ins for the input and text functions until their own implementation lands.
#include <QChar>
#include <QList>

#include "DisplayText.hpp"
#include "RemoteShortcut.hpp"

namespace tessaral {

std::vector<KeyAction> keySequence(RemoteShortcut shortcut, const KeyboardContext& context) {
    const std::uint32_t command =
        rfb::KeySymbol::modifier(55, context.commandMapping, context.serverIsApple)
            .value_or(0xFFE7);
    constexpr std::uint32_t shift = 0xFFE1, control = 0xFFE3, option = 0xFFE9;
    std::vector<std::uint32_t> modifiers;
    std::uint32_t key = 0;
    switch (shortcut) {
        case RemoteShortcut::ctrlAltDelete:
            modifiers = {control, option};
            key = 0xFFFF;
            break;
        case RemoteShortcut::missionControl:
            modifiers = {control};
            key = 0xFF52;
            break;
        case RemoteShortcut::spaceLeft:
            modifiers = {control};
            key = 0xFF51;
            break;
        case RemoteShortcut::spaceRight:
            modifiers = {control};
            key = 0xFF53;
            break;
        case RemoteShortcut::appSwitcher:
            modifiers = {command};
            key = 0xFF09;
            break;
        case RemoteShortcut::spotlight:
            modifiers = {command};
            key = 0x20;
            break;
        case RemoteShortcut::forceQuit:
            modifiers = {command, option};
            key = 0xFF1B;
            break;
        case RemoteShortcut::lockScreen:
            modifiers = {control, command};
            key = 0x71;
            break;
        case RemoteShortcut::logOut:
            modifiers = {shift, command};
            key = 0x51;
            break;
    }
    std::vector<KeyAction> actions;
    for (const auto modifier : modifiers) {
        actions.push_back({modifier, true});
    }
    actions.push_back({key, true});
    actions.push_back({key, false});
    for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) {
        actions.push_back({*it, false});
    }
    return actions;
}

std::vector<KeyAction> typingSequence(const QString& text) {
    std::vector<KeyAction> actions;
    for (const char32_t scalar : text.toUcs4()) {
        if (const auto keysym = rfb::KeySymbol::forCharacter(scalar)) {
            actions.push_back({*keysym, true});
            actions.push_back({*keysym, false});
        }
    }
    return actions;
}

QString displayText(const QString& serverText, int maximumLength) {
    QString text;
    for (const QChar c : serverText) {
        const auto category = c.category();
        if (category == QChar::Other_Control || category == QChar::Other_Format) {
            if (c.isSpace()) {
                text += u' ';
            }
            continue;
        }
        text += c;
    }
    text = text.simplified();
    if (text.size() > maximumLength) {
        text = text.left(maximumLength - 1) + QChar(0x2026);
    }
    return text;
}

}  // namespace tessaral
