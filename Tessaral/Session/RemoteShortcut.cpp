#include "RemoteShortcut.hpp"

namespace tessaral {

namespace {

namespace KeySymbol = rfb::KeySymbol;

enum class Modifier { shift, control, option, command };

struct Combination {
    std::vector<Modifier> modifiers;  // in pressing order
    std::uint32_t keysym;
};

Combination combination(RemoteShortcut shortcut) {
    using enum Modifier;
    switch (shortcut) {
        case RemoteShortcut::ctrlAltDelete:
            return {{control, option}, KeySymbol::deleteKey};
        case RemoteShortcut::missionControl:
            return {{control}, KeySymbol::up};
        case RemoteShortcut::spaceLeft:
            return {{control}, KeySymbol::left};
        case RemoteShortcut::spaceRight:
            return {{control}, KeySymbol::right};
        case RemoteShortcut::appSwitcher:
            return {{command}, KeySymbol::tab};
        case RemoteShortcut::spotlight:
            return {{command}, KeySymbol::space};
        case RemoteShortcut::forceQuit:
            return {{command, option}, KeySymbol::escape};
        case RemoteShortcut::lockScreen:
            return {{control, command}, 0x71};
        case RemoteShortcut::logOut:
            return {{shift, command}, 0x51};
    }
    return {{}, KeySymbol::escape};
}

std::uint32_t keysym(Modifier modifier, const KeyboardContext& context) {
    switch (modifier) {
        case Modifier::shift:
            return KeySymbol::shiftLeft;
        case Modifier::control:
            return KeySymbol::controlLeft;
        case Modifier::option:
            return KeySymbol::altLeft;
        case Modifier::command:
            break;
    }
    return KeySymbol::modifier(55, context.commandMapping, context.serverIsApple)
        .value_or(KeySymbol::metaLeft);
}

}  // namespace

QString rawValue(RemoteShortcut shortcut) {
    switch (shortcut) {
        case RemoteShortcut::ctrlAltDelete:
            return QStringLiteral("ctrlAltDelete");
        case RemoteShortcut::missionControl:
            return QStringLiteral("missionControl");
        case RemoteShortcut::spaceLeft:
            return QStringLiteral("spaceLeft");
        case RemoteShortcut::spaceRight:
            return QStringLiteral("spaceRight");
        case RemoteShortcut::appSwitcher:
            return QStringLiteral("appSwitcher");
        case RemoteShortcut::spotlight:
            return QStringLiteral("spotlight");
        case RemoteShortcut::forceQuit:
            return QStringLiteral("forceQuit");
        case RemoteShortcut::lockScreen:
            return QStringLiteral("lockScreen");
        case RemoteShortcut::logOut:
            return QStringLiteral("logOut");
    }
    return {};
}

QString title(RemoteShortcut shortcut) {
    // The Super key plays the Command key here, so the titles name it.
    switch (shortcut) {
        case RemoteShortcut::ctrlAltDelete:
            return QStringLiteral("Ctrl-Alt-Delete");
        case RemoteShortcut::missionControl:
            return QStringLiteral("Mission Control");
        case RemoteShortcut::spaceLeft:
            return QStringLiteral("Move Left a Space");
        case RemoteShortcut::spaceRight:
            return QStringLiteral("Move Right a Space");
        case RemoteShortcut::appSwitcher:
            return QStringLiteral("Switch Apps (Super+Tab)");
        case RemoteShortcut::spotlight:
            return QStringLiteral("Spotlight (Super+Space)");
        case RemoteShortcut::forceQuit:
            return QStringLiteral("Force Quit…");
        case RemoteShortcut::lockScreen:
            return QStringLiteral("Lock Screen");
        case RemoteShortcut::logOut:
            return QStringLiteral("Log Out User…");
    }
    return {};
}

QString iconName(RemoteShortcut shortcut) {
    switch (shortcut) {
        case RemoteShortcut::ctrlAltDelete:
            return QStringLiteral("power");
        case RemoteShortcut::missionControl:
            return QStringLiteral("rectangle.3.group");
        case RemoteShortcut::spaceLeft:
            return QStringLiteral("arrow.left.square");
        case RemoteShortcut::spaceRight:
            return QStringLiteral("arrow.right.square");
        case RemoteShortcut::appSwitcher:
            return QStringLiteral("square.on.square");
        case RemoteShortcut::spotlight:
            return QStringLiteral("magnifyingglass");
        case RemoteShortcut::forceQuit:
            return QStringLiteral("xmark.octagon");
        case RemoteShortcut::lockScreen:
            return QStringLiteral("lock");
        case RemoteShortcut::logOut:
            return QStringLiteral("rectangle.portrait.and.arrow.right");
    }
    return {};
}

std::vector<KeyAction> keySequence(RemoteShortcut shortcut, const KeyboardContext& context) {
    const Combination keys = combination(shortcut);
    std::vector<KeyAction> actions;
    for (const Modifier modifier : keys.modifiers) {
        actions.push_back({keysym(modifier, context), true});
    }
    actions.push_back({keys.keysym, true});
    actions.push_back({keys.keysym, false});
    for (auto modifier = keys.modifiers.rbegin(); modifier != keys.modifiers.rend(); ++modifier) {
        actions.push_back({keysym(*modifier, context), false});
    }
    return actions;
}

std::vector<KeyAction> typingSequence(const QString& text) {
    std::vector<KeyAction> actions;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t scalar = text.at(i).unicode();
        if (QChar::isHighSurrogate(scalar) && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            ++i;
        }
        // A lone surrogate is no scalar, and the key-symbol rules give it nothing.
        if (const auto keysym = rfb::KeySymbol::forCharacter(scalar)) {
            actions.push_back({*keysym, true});
            actions.push_back({*keysym, false});
        }
    }
    return actions;
}

}  // namespace tessaral
