#include <gtest/gtest.h>

#include <string>

#include "KeyboardInput.hpp"
#include "PointerInput.hpp"
#include "RemoteShortcut.hpp"
#include "ScanCode.hpp"
#include "ScreenGeometry.hpp"

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
        {"FocusLossReleasesPressesOnce", {{'+', aX}, {'0', {}}, {'-', aX}}, {0x61, -0x61}},
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
            const auto more = step.event == '0'   ? input.releaseAll()
                              : step.event == '+' ? input.press(step.key, {})
                                                  : input.release(step.key, {});
            actions.insert(actions.end(), more.begin(), more.end());
        }
        EXPECT_EQ(sent(actions), test.expected) << test.name;
    }
}

TEST(KeyboardInputTest, CarriesThePhysicalKeysXTCodeFromPressToRelease) {
    // X11 keycodes: Escape, A, keypad period, the ISO key, right Ctrl, Up, right Super, Menu, and
    // codes no PC key has.
    const std::pair<std::uint32_t, std::uint32_t> codes[] = {
        {9, 0x01},   {38, 0x1E},  {91, 0x53}, {94, 0x56}, {105, 0x9D}, {111, 0xC8},
        {134, 0xDC}, {135, 0xDD}, {92, 0},    {8, 0},     {0, 0},      {255, 0}};
    for (auto [keycode, xt] : codes) {
        EXPECT_EQ(xtScanCode(keycode), xt) << keycode;
    }
    KeyboardInput keyboard;
    const KeyRecord y = key(Qt::Key_Y, 0x79, 29, "y"),
                    shiftY = key(Qt::Key_Y, 0x59, 29, "Y", shift);
    EXPECT_EQ(keyboard.press(y, {}), (std::vector<KeyAction>{{0x79, true, 0x15}}));
    // The press that never got its release is let go under the same code.
    EXPECT_EQ(keyboard.press(shiftY, {}),
              (std::vector<KeyAction>{{0x79, false, 0x15}, {0x59, true, 0x15}}));
    EXPECT_EQ(keyboard.release(y, {}), (std::vector<KeyAction>{{0x59, false, 0x15}}));
}

TEST(KeyboardInputTest, KeepsOnlyItsOwnShortcutsLocal) {
    struct Case {
        const char* name;
        KeyRecord key;
        bool sendSystemShortcuts, local;
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

// A 1920 × 1080 frame fitted into a 960 × 600 view: two view points per pixel, bars of 30.
const QRectF fitted(0, 30, 960, 540);
const QSize frame(1920, 1080);

TEST(PointerInputTest, MapsViewPointsToFramebufferPixels) {
    const std::pair<QPointF, QPoint> cases[] = {
        {{0, 30}, {0, 0}},
        {{959.9, 569.9}, {1919, 1079}},
        {{-10, 29.9}, {-20, -1}},  // the margins; the client clamps
        {{1e300, 0}, {std::numeric_limits<int>::max() / 2, -60}},
    };
    for (const auto& [position, expected] : cases) {
        EXPECT_EQ(remotePoint(position, fitted, frame), expected)
            << position.x() << "," << position.y();
    }
    EXPECT_EQ(remotePoint({10, 10}, QRectF(), frame), std::nullopt);
}

TEST(PointerInputTest, KeepsButtonsInTheMask) {
    PointerInput input;
    EXPECT_EQ(input.press(Qt::LeftButton, {0, 30}, fitted, frame),
              (std::vector<PointerAction>{{0, 0, 1}}));
    input.press(Qt::RightButton, {0, 30}, fitted, frame);
    input.press(Qt::BackButton, {0, 30}, fitted, frame);
    EXPECT_EQ(input.buttonMask(), 7);
    // No frame: nothing is sent, but the mask still follows the buttons.
    EXPECT_TRUE(input.release(Qt::LeftButton, {0, 30}, QRectF(), frame).empty());
    EXPECT_EQ(input.buttonMask(), 6);
    EXPECT_EQ(input.releaseAll({2, 32}, fitted, frame), (std::vector<PointerAction>{{4, 4, 0}}));
    EXPECT_EQ(input.buttonMask(), 0);
    EXPECT_TRUE(input.releaseAll({2, 32}, fitted, frame).empty());
}

TEST(PointerInputTest, TurnsWheelDistanceIntoClicks) {
    struct Case {
        std::string name;
        bool leftHeld;
        std::vector<WheelRecord> events;
        std::vector<std::uint8_t> masks;  // of every event sent, in order
    };
    const QPointF at(0, 30);
    const auto classic = [&](int x, int y) { return WheelRecord{at, {x, y}, {}}; };
    const auto precise = [&](int y, bool ended = false) {
        return WheelRecord{at, {0, y * 8}, {0, y}, ended};
    };
    std::vector<std::uint8_t> bounded;
    for (int n = 0; n < 256; ++n) {
        bounded.insert(bounded.end(), {8, 0});
    }
    const Case cases[] = {
        {"ClassicThreeNotchesDownWithLeftHeld", true, {classic(0, -360)}, {17, 1, 17, 1, 17, 1}},
        {"HalfNotchesAddUp", false, {classic(0, 60), classic(0, 60)}, {8, 0}},
        {"Horizontal", false, {classic(120, 0), classic(-120, 0)}, {32, 0, 64, 0}},
        {"GestureKeepsItsRemainder", false, {precise(30), precise(6)}, {8, 0, 8, 0, 8, 0}},
        {"GestureEndDropsTheRemainder", false, {precise(30, true), precise(6)}, {8, 0, 8, 0}},
        {"RemainderKeepsItsSign", false, {precise(-18), precise(6)}, {16, 0}},
        {"RunawayDeltaIsBounded", false, {precise(1'000'000)}, bounded},
    };
    for (const Case& test : cases) {
        PointerInput input;
        if (test.leftHeld) {
            input.press(Qt::LeftButton, at, fitted, frame);
        }
        std::vector<std::uint8_t> masks;
        for (const WheelRecord& event : test.events) {
            for (const PointerAction& action : input.wheel(event, fitted, frame)) {
                EXPECT_EQ(QPoint(action.x, action.y), QPoint(0, 0)) << test.name;
                masks.push_back(action.buttons);
            }
        }
        EXPECT_EQ(masks, test.masks) << test.name;
    }
}

TEST(ScreenGeometryTest, PlacesTheFrame) {
    struct Case {
        QSizeF bounds;
        QSize image;
        ScalingMode scaling;
        QRectF expected;
    };
    const Case cases[] = {
        {{960, 600}, frame, ScalingMode::fit, fitted},
        {{2560, 1440}, frame, ScalingMode::actualSize, {320, 180, 1920, 1080}},
        {{960, 600}, frame, ScalingMode::actualSize, {0, 0, 1920, 1080}},
        {{960, 600}, {}, ScalingMode::fit, {}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(imageRect(test.bounds, test.image, test.scaling), test.expected)
            << test.bounds.width() << "x" << test.bounds.height();
    }
    EXPECT_EQ(viewSize({960, 600}, frame, ScalingMode::actualSize), QSizeF(1920, 1080));
    EXPECT_EQ(viewSize({2560, 600}, frame, ScalingMode::actualSize), QSizeF(2560, 1080));
    EXPECT_EQ(viewSize({960, 600}, frame, ScalingMode::fit), QSizeF(960, 600));
}

TEST(ScreenGeometryTest, SizesTheWindowOnceToTheScreen) {
    struct Case {
        QSize image;
        QRect available;
        int chrome;
        QSize window;
    };
    const Case cases[] = {
        {{2560, 1440}, {0, 25, 1440, 875}, 52, {1321, 795}},
        {{800, 600}, {0, 0, 2560, 1440}, 52, {800, 652}},
        {{800, 600}, {0, 0, 100, 100}, 52, {1, 53}},
        {{}, {0, 0, 2560, 1440}, 52, {0, 0}},
    };
    for (const Case& test : cases) {
        const QRect window = windowFrameFor(test.image, test.available, test.chrome);
        EXPECT_EQ(window.size(), test.window) << test.image.width() << "x" << test.image.height();
        if (!test.image.isEmpty()) {
            EXPECT_LE((window.center() - test.available.center()).manhattanLength(), 1);
        }
    }
}

}  // namespace
}  // namespace tessaral
