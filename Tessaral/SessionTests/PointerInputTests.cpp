#include <gtest/gtest.h>

#include <string>

#include "PointerInput.hpp"
#include "ScreenGeometry.hpp"

namespace tessaral {
namespace {

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
