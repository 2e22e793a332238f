#include <gtest/gtest.h>

#include "KeyboardCapture.hpp"

namespace tessaral {
namespace {

TEST(KeyboardCapture, OnlyAFocusedFullScreenOrOptedInWindowTakesTheKeyboard) {
    struct Case {
        const char* name;
        CaptureState state;
        bool captures;
    } cases[] = {
        {"full screen and focused", {true, true, false, false}, true},
        {"windowed, preference on", {false, true, true, false}, true},
        {"windowed, preference off", {false, true, false, false}, false},
        {"full screen without focus", {true, false, true, false}, false},
        {"during a local shortcut", {true, true, true, true}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(capturesKeyboard(c.state), c.captures) << c.name;
    }
}

TEST(KeyboardCapture, GrabsAndReleasesOnlyOnAChange) {
    KeyboardCapture capture;
    const CaptureState full{.fullScreen = true, .active = true};
    const CaptureState shortcut{.fullScreen = true, .active = true, .handlingLocalShortcut = true};
    const CaptureState left{.fullScreen = false, .active = true};
    const struct {
        CaptureState state;
        std::optional<bool> applied;
    } steps[] = {{left, std::nullopt}, {full, true}, {full, std::nullopt},
                 {shortcut, false},    {full, true}, {left, false}};
    for (const auto& step : steps) {
        EXPECT_EQ(capture.update(step.state), step.applied);
    }
}

}  // namespace
}  // namespace tessaral
