#include <gtest/gtest.h>

#include <string>

#include "KeyboardInput.hpp"
#include "RemoteShortcut.hpp"

namespace tessaral {
namespace {

using Context = KeyboardContext;
using rfb::KeySymbol::CommandMapping;

// What an X11 session reports (keysym and scan code) and what the offscreen platform reports
// (neither); both must give the same keysyms.
KeyRecord key(int qtKey, std::uint32_t native = 0, std::uint32_t scan = 0, QString text = {},
              Qt::KeyboardModifiers modifiers = {}, bool autoRepeat = false) {
    return {qtKey, native, scan, std::move(text), modifiers, autoRepeat};
}

struct Step {
    bool press;
    KeyRecord key;
};

struct KeyCase {
    std::string name;
    std::vector<Step> steps;
    std::vector<KeyAction> expected;
    Context context = {};
};

constexpr auto shift = Qt::ShiftModifier;
constexpr auto control = Qt::ControlModifier;
constexpr auto super = Qt::MetaModifier;

TEST(KeyboardInputTest, SendsWhatEachSequenceOfEventsMeans) {
    const std::vector<KeyCase> cases = {
        {"ShiftReleasedBeforeLetterX11",
         {{true, key(Qt::Key_Shift, 0xFFE1, 50)},
          {true, key(Qt::Key_A, 0x41, 38, "A", shift)},
          {false, key(Qt::Key_Shift, 0xFFE1, 50, {}, shift)},
          {false, key(Qt::Key_A, 0x61, 38, "a")}},
         {{0xFFE1, true}, {0x41, true}, {0xFFE1, false}, {0x41, false}}},
        {"ShiftReleasedBeforeLetterOffscreen",
         {{true, key(Qt::Key_Shift)},
          {true, key(Qt::Key_A, 0, 0, "A", shift)},
          {false, key(Qt::Key_Shift)},
          {false, key(Qt::Key_A, 0, 0, "a")}},
         {{0xFFE1, true}, {0x41, true}, {0xFFE1, false}, {0x41, false}}},
        {"CapsLockTogglesAtPressOnly",
         {{true, key(Qt::Key_CapsLock, 0xFFE5, 66)},
          {false, key(Qt::Key_CapsLock, 0xFFE5, 66)},
          {true, key(Qt::Key_CapsLock, 0xFFE5, 66, {}, {}, true)}},
         {{0xFFE5, true}, {0xFFE5, false}}},
        {"AutoRepeatPressesAgainAndReleasesOnce",
         {{true, key(Qt::Key_A, 0x61, 38, "a")},
          {false, key(Qt::Key_A, 0x61, 38, "a", {}, true)},
          {true, key(Qt::Key_A, 0x41, 38, "A", shift, true)},
          {false, key(Qt::Key_A, 0x61, 38, "a")}},
         {{0x61, true}, {0x61, true}, {0x61, false}}},
        {"ControlLetterOffscreenIsTheLetter",
         {{true, key(Qt::Key_Control)},
          {true, key(Qt::Key_C, 0, 0, "\x03", control)},
          {false, key(Qt::Key_C, 0, 0, "\x03", control)}},
         {{0xFFE3, true}, {0x63, true}, {0x63, false}}},
        {"FixedKeysOffscreen",
         {{true, key(Qt::Key_Return, 0, 0, "\r")},
          {true, key(Qt::Key_Backtab, 0, 0, {}, shift)},
          {true, key(Qt::Key_F5)},
          {true, key(Qt::Key_F24)},
          {true, key(Qt::Key_Enter, 0, 0, "\r")},
          {true, key(Qt::Key_Eacute, 0, 0, "é")}},
         {{0xFF0D, true},
          {0xFF09, true},
          {0xFFC2, true},
          {0xFFD5, true},
          {0xFF8D, true},
          {0xE9, true}}},
        {"SuperIsTheMappedCommandKey",
         {{true, key(Qt::Key_Super_L, 0xFFEB, 133)},
          {true, key(Qt::Key_Super_R, 0xFFEC, 134)},
          {true, key(Qt::Key_Meta)}},
         {{0xFFEB, true}, {0xFFEC, true}, {0xFFEB, true}}},
        {"SuperToAnAppleServer",
         {{true, key(Qt::Key_Super_L, 0xFFEB, 133)}},
         {{0xFFE7, true}},
         {.serverIsApple = true}},
        {"SuperUnderTheControlMapping",
         {{true, key(Qt::Key_Super_L, 0xFFEB, 133)}},
         {{0xFFE3, true}},
         {.commandMapping = CommandMapping::control}},
        {"LocalShortcutSendsOnlyItsModifier",
         {{true, key(Qt::Key_Super_L, 0xFFEB, 133)},
          {true, key(Qt::Key_Q, 0x71, 24, "q", super)},
          {false, key(Qt::Key_Q, 0x71, 24, "q", super)},
          {false, key(Qt::Key_Super_L, 0xFFEB, 133, {}, super)}},
         {{0xFFEB, true}, {0xFFEB, false}}},
        {"MissedReleaseIsSentBeforeADifferentPress",
         {{true, key(Qt::Key_A, 0x61, 38, "a")}, {true, key(Qt::Key_A, 0x41, 38, "A", shift)}},
         {{0x61, true}, {0x61, false}, {0x41, true}}},
    };
    for (const KeyCase& test : cases) {
        KeyboardInput input;
        std::vector<KeyAction> sent;
        for (const Step& step : test.steps) {
            const auto actions = step.press ? input.press(step.key, test.context)
                                            : input.release(step.key, test.context);
            sent.insert(sent.end(), actions.begin(), actions.end());
        }
        EXPECT_EQ(sent, test.expected) << test.name;
    }
}

TEST(KeyboardInputTest, ReleaseAfterResetSendsNothing) {
    KeyboardInput input;
    input.press(key(Qt::Key_A, 0x61, 38, "a"), {});
    input.reset();
    EXPECT_TRUE(input.release(key(Qt::Key_A, 0x61, 38, "a"), {}).empty());
}

TEST(KeyboardInputTest, KeepsOnlyItsOwnShortcutsLocal) {
    struct Case {
        const char* name;
        KeyRecord key;
        bool sendSystemShortcuts;
        bool local;
    };
    const Case cases[] = {
        {"Ctrl+C", key(Qt::Key_C, 0x63, 54, "c", control), true, false},
        {"Ctrl+Q", key(Qt::Key_Q, 0x71, 24, "q", control), true, false},
        {"Super+C", key(Qt::Key_C, 0x63, 54, "c", super), true, false},
        {"Super+Q", key(Qt::Key_Q, 0x71, 24, "q", super), true, true},
        {"Super+`", key(Qt::Key_QuoteLeft, 0x60, 49, "`", super), true, true},
        {"Alt+Super+Q", key(Qt::Key_Q, 0x71, 24, "q", super | Qt::AltModifier), true, false},
        {"Ctrl+Super+0", key(Qt::Key_0, 0x30, 19, "0", super | control), true, true},
        {"Super+C, shortcuts kept", key(Qt::Key_C, 0x63, 54, "c", super), false, true},
        {"Ctrl+C, shortcuts kept", key(Qt::Key_C, 0x63, 54, "c", control), false, false},
        {"Super itself, shortcuts kept", key(Qt::Key_Super_L, 0xFFEB, 133, {}, super), false,
         false},
    };
    for (const Case& test : cases) {
        const Context context{.sendSystemShortcuts = test.sendSystemShortcuts};
        EXPECT_EQ(KeyboardInput::staysLocal(test.key, context), test.local) << test.name;
        KeyboardInput input;
        EXPECT_EQ(input.press(test.key, context).empty(), test.local) << test.name;
    }
}

TEST(RemoteShortcutTest, PressesModifiersAroundTheKey) {
    struct Case {
        RemoteShortcut shortcut;
        Context context;
        std::vector<KeyAction> expected;
    };
    const Case cases[] = {
        {RemoteShortcut::logOut,
         {},
         {{0xFFE1, true},
          {0xFFEB, true},
          {0x51, true},
          {0x51, false},
          {0xFFEB, false},
          {0xFFE1, false}}},
        {RemoteShortcut::forceQuit,
         {.serverIsApple = true},
         {{0xFFE7, true},
          {0xFFE9, true},
          {0xFF1B, true},
          {0xFF1B, false},
          {0xFFE9, false},
          {0xFFE7, false}}},
        {RemoteShortcut::lockScreen,
         {.commandMapping = CommandMapping::control},
         {{0xFFE3, true},
          {0xFFE3, true},
          {0x71, true},
          {0x71, false},
          {0xFFE3, false},
          {0xFFE3, false}}},
        {RemoteShortcut::spaceLeft,
         {},
         {{0xFFE3, true}, {0xFF51, true}, {0xFF51, false}, {0xFFE3, false}}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(keySequence(test.shortcut, test.context), test.expected)
            << rawValue(test.shortcut).toStdString();
    }
}

TEST(RemoteShortcutTest, TypesEachCharacterWithoutModifiers) {
    const auto typed = [](const QString& text) {
        std::vector<std::uint32_t> keysyms;
        const auto actions = typingSequence(text);
        for (std::size_t i = 0; i + 1 < actions.size(); i += 2) {
            EXPECT_EQ(actions[i], (KeyAction{actions[i].keysym, true}));
            EXPECT_EQ(actions[i + 1], (KeyAction{actions[i].keysym, false}));
            keysyms.push_back(actions[i].keysym);
        }
        return keysyms;
    };
    EXPECT_EQ(typed(QStringLiteral("Hé!")), (std::vector<std::uint32_t>{0x48, 0xE9, 0x21}));
    EXPECT_EQ(typed(QStringLiteral("a\nb\r")), (std::vector<std::uint32_t>{0x61, 0x62, 0xFF0D}));
    EXPECT_EQ(typed(QStringLiteral("😀") + QChar(0xD800) + u'€'),
              (std::vector<std::uint32_t>{0x0101F600, 0x010020AC}));
}

}  // namespace
}  // namespace tessaral
