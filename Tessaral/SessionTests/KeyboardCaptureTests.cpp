#include <gtest/gtest.h>

#include "KeyboardCapture.hpp"

namespace tessaral {
namespace {

TEST(KeyboardCapture, AFocusedFullScreenOrOptedInWindowTakesTheKeyboardUntilAShortcut) {
    const struct {
        const char* name;
        CaptureState state;  // full screen, active, preference, local shortcut
        std::optional<bool> applied;
    } steps[] = {
        {"windowed", {false, true, false, false}, std::nullopt},
        {"full screen", {true, true, false, false}, true},
        {"a local shortcut", {true, true, true, true}, false},
        {"after the shortcut", {true, true, false, false}, true},
        {"focus lost", {true, false, true, false}, false},
        {"windowed, preference on", {false, true, true, false}, true},
        {"windowed again, preference off", {false, true, false, false}, false},
    };
    KeyboardCapture capture;
    for (const auto& step : steps) {
        EXPECT_EQ(capture.update(step.state), step.applied) << step.name;
    }
}

}  // namespace
}  // namespace tessaral
