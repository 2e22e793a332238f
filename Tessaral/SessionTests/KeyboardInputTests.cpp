#include <gtest/gtest.h>

#include <string>

#include "KeyboardInput.hpp"
#include "RemoteShortcut.hpp"

namespace tessaral {
namespace {

using Context = KeyboardContext;

// A keysym pressed is written as itself, released as its negation.
std::vector<long> sent(const std::vector<KeyAction>& actions) {
    std::vector<long> result;
    for (const KeyAction& action : actions) {
        result.push_back(action.down ? long{action.keysym} : -long{action.keysym});
    }
    return result;
}

KeyRecord key(int qtKey, std::uint32_t native = 0, std::uint32_t scan = 0, QString text = {},
              Qt::KeyboardModifiers modifiers = {}, bool autoRepeat = false) {
    return {qtKey, native, scan, std::move(text), modifiers, autoRepeat};
}

constexpr auto shift = Qt::ShiftModifier;
constexpr auto control = Qt::ControlModifier;
constexpr auto super = Qt::MetaModifier;

TEST(KeyboardInputTest, SendsWhatEachSequenceOfEventsMeans) {
    struct Step {
        char event;  // '+' press, '-' release, '0' focus lost
        KeyRecord key;
    };
    struct Case {
        std::string name;
        std::vector<Step> steps;
        std::vector<long> expected;
    };
    // X11 reports keysyms and scan codes; the offscreen platform neither.
    const KeyRecord shiftX = key(Qt::Key_Shift, 0xFFE1, 50), shiftO = key(Qt::Key_Shift);
    const KeyRecord aX = key(Qt::Key_A, 0x61, 38, "a"), aO = key(Qt::Key_A, 0, 0, "a");
    const KeyRecord upperAX = key(Qt::Key_A, 0x41, 38, "A", shift);
    const KeyRecord upperAO = key(Qt::Key_A, 0, 0, "A", shift);
    const KeyRecord repeatX = key(Qt::Key_A, 0x41, 38, "A", shift, true);
    const KeyRecord capsX = key(Qt::Key_CapsLock, 0xFFE5, 66);
    const KeyRecord capsRepeatX = key(Qt::Key_CapsLock, 0xFFE5, 66, {}, {}, true);
    const KeyRecord superX = key(Qt::Key_Super_L, 0xFFEB, 133);
    const KeyRecord superQX = key(Qt::Key_Q, 0x71, 24, "q", super);
    const Case cases[] = {
        {"ShiftReleasedBeforeLetterX11",
         {{'+', shiftX}, {'+', upperAX}, {'-', shiftX}, {'-', aX}},
         {0xFFE1, 0x41, -0xFFE1, -0x41}},
        {"ShiftReleasedBeforeLetterOffscreen",
         {{'+', shiftO}, {'+', upperAO}, {'-', shiftO}, {'-', aO}},
         {0xFFE1, 0x41, -0xFFE1, -0x41}},
        {"CapsLockTogglesAtPressOnly",
         {{'+', capsX}, {'-', capsX}, {'+', capsRepeatX}},
         {0xFFE5, -0xFFE5}},
        {"AutoRepeatPressesAgainAndReleasesOnce",
         {{'+', aX}, {'-', key(Qt::Key_A, 0x61, 38, "a", {}, true)}, {'+', repeatX}, {'-', aX}},
         {0x61, 0x61, -0x61}},
        {"MissedReleaseIsSentBeforeADifferentPress",
         {{'+', aX}, {'+', upperAX}},
         {0x61, -0x61, 0x41}},
        {"FocusLossForgetsPresses", {{'+', aX}, {'0', {}}, {'-', aX}}, {0x61}},
        {"ControlLetterOffscreenIsTheLetter",
         {{'+', key(Qt::Key_Control)}, {'+', key(Qt::Key_C, 0, 0, "\x03", control)}},
         {0xFFE3, 0x63}},
        {"FixedKeysOffscreen",
         {{'+', key(Qt::Key_Return, 0, 0, "\r")},
          {'+', key(Qt::Key_Backtab)},
          {'+', key(Qt::Key_F5)},
          {'+', key(Qt::Key_F24)},
          {'+', key(Qt::Key_Enter, 0, 0, "\r")},
          {'+', key(Qt::Key_Eacute, 0, 0, "é")}},
         {0xFF0D, 0xFF09, 0xFFC2, 0xFFD5, 0xFF8D, 0xE9}},
        {"SuperIsTheMappedCommandKey",
         {{'+', superX}, {'+', key(Qt::Key_Super_R, 0xFFEC, 134)}, {'+', key(Qt::Key_Meta)}},
         {0xFFEB, 0xFFEC, 0xFFEB}},
        {"LocalShortcutSendsOnlyItsModifier",
         {{'+', superX}, {'+', superQX}, {'-', superQX}, {'-', superX}},
         {0xFFEB, -0xFFEB}},
    };
    for (const Case& test : cases) {
        KeyboardInput input;
        std::vector<KeyAction> actions;
        for (const Step& step : test.steps) {
            if (step.event == '0') {
                input.reset();
                continue;
            }
            const auto more =
                step.event == '+' ? input.press(step.key, {}) : input.release(step.key, {});
            actions.insert(actions.end(), more.begin(), more.end());
        }
        EXPECT_EQ(sent(actions), test.expected) << test.name;
    }
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
        {"Alt+Super+Q", key(Qt::Key_Q, 0x71, 24, "q", super | Qt::AltModifier), true, false},
        {"Ctrl+Super+0", key(Qt::Key_0, 0x30, 19, "0", super | control), true, true},
        {"Super+C kept", key(Qt::Key_C, 0x63, 54, "c", super), false, true},
        {"Super itself kept", key(Qt::Key_Super_L, 0xFFEB, 133, {}, super), false, false},
    };
    for (const Case& test : cases) {
        const Context context{.sendSystemShortcuts = test.sendSystemShortcuts};
        EXPECT_EQ(KeyboardInput::staysLocal(test.key, context), test.local) << test.name;
        KeyboardInput input;
        EXPECT_EQ(input.press(test.key, context).empty(), test.local) << test.name;
    }
}

// Shortcuts press their modifiers around the key; typed text goes character by character, bare.
TEST(RemoteShortcutTest, SendsShortcutsAndTypedText) {
    const std::pair<std::vector<KeyAction>, std::vector<long>> cases[] = {
        {keySequence(RemoteShortcut::logOut, {}), {0xFFE1, 0xFFEB, 0x51, -0x51, -0xFFEB, -0xFFE1}},
        {keySequence(RemoteShortcut::forceQuit, {.serverIsApple = true}),
         {0xFFE7, 0xFFE9, 0xFF1B, -0xFF1B, -0xFFE9, -0xFFE7}},
        {keySequence(RemoteShortcut::spaceLeft, {}), {0xFFE3, 0xFF51, -0xFF51, -0xFFE3}},
        {typingSequence("Hé!"), {0x48, -0x48, 0xE9, -0xE9, 0x21, -0x21}},
        {typingSequence("a\n\r"), {0x61, -0x61, 0xFF0D, -0xFF0D}},
        {typingSequence(QStringLiteral("😀") + QChar(0xD800)), {0x0101F600, -0x0101F600}},
    };
    for (const auto& [actions, expected] : cases) {
        EXPECT_EQ(sent(actions), expected);
    }
}

}  // namespace
}  // namespace tessaral
