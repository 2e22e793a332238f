#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QPainter>
#include <QTest>
#include <cmath>
#include <functional>
#include <random>

#include "SessionFixture.hpp"
#include "Views/Session/FramebufferView.hpp"

namespace tessaral::testing {
namespace {

constexpr QSize frameSize(320, 200);

QImage painted(const std::function<QRgb(int, int)>& colour) {
    QImage image(frameSize, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            image.setPixel(x, y, colour(x, y));
        }
    }
    return image;
}

QImage noise(unsigned seed) {
    std::mt19937 random(seed);
    return painted([&](int, int) { return 0xFF000000u | (random() & 0xFFFFFFu); });
}

// Slow enough that every scaling filter gives nearly the same pixels.
QImage waves() {
    return painted([](int x, int y) {
        return qRgb(int(128 + 100 * std::sin(x / 23.0)), int(128 + 100 * std::cos(y / 17.0)),
                    int(128 + 100 * std::sin((x + y) / 31.0)));
    });
}

// Of any colour channel; both images are RGB32, whose fourth byte is always 0xFF.
int largestDifference(const QImage& a, const QImage& b) {
    int largest = a.size() == b.size() ? 0 : 256;
    for (int y = 0; y < a.height() && largest < 256; ++y) {
        for (int i = 0; i < a.width() * 4; ++i) {
            largest = std::max(largest, std::abs(a.constScanLine(y)[i] - b.constScanLine(y)[i]));
        }
    }
    return largest;
}

// One screen view of its own session, as the session window holds it.
struct Screen {
    explicit Screen(ScreenPath path, QSize size) : view(path) {
        view.setSession(fixture.session.get());
        view.resize(size);
        view.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
    }
    QImage show(const QImage& frame, const QRegion& damage, ScalingMode scaling) {
        fixture.setFrame(frame, damage);
        view.updateImage(scaling);
        const QImage shown =
            view.glScreen() ? view.glScreen()->grabFramebuffer() : view.grab().toImage();
        return shown.convertToFormat(QImage::Format_RGB32);
    }
    VNCSessionTesting fixture;
    FramebufferView view;
};

struct RenderCase {
    const char* name;
    ScreenPath path;
    QSize view;
    ScalingMode scaling;
};

class ScreenRendering : public ::testing::TestWithParam<RenderCase> {};

// At actual size every pixel is the frame's; scaled, the filters may differ a little. After a
// partial update the screen equals a fresh one showing the same frame.
TEST_P(ScreenRendering, ShowsTheFrameAndItsPartialUpdates) {
    const RenderCase& c = GetParam();
    if (c.path == ScreenPath::opengl &&
        (QGuiApplication::platformName() == "offscreen" || !QOpenGLContext().create())) {
        if (qEnvironmentVariableIsSet("TESSARAL_REQUIRE_OPENGL")) {
            FAIL() << "no OpenGL context on " << QGuiApplication::platformName().toStdString();
        }
        GTEST_SKIP() << "no OpenGL context on this platform";
    }
    const bool actual = c.scaling == ScalingMode::actualSize;
    const QImage first = actual ? noise(1) : waves();
    const QRegion damage =
        QRegion(10, 20, 100, 30) + QRegion(0, 199, 320, 1) + QRegion(250, 0, 70, 150);
    QImage second = first;
    {
        QPainter painter(&second);
        painter.setClipRegion(damage);
        painter.drawImage(0, 0, noise(2));
    }

    Screen incremental(c.path, c.view);
    const QImage expected =
        actual ? first : first.scaled(c.view, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    EXPECT_LE(largestDifference(incremental.show(first, first.rect(), c.scaling), expected),
              actual ? 0 : 8);
    const QImage shownSecond = incremental.show(second, damage, c.scaling);
    Screen fresh(c.path, c.view);
    EXPECT_EQ(largestDifference(shownSecond, fresh.show(second, {}, c.scaling)), 0);
    if (actual) {
        EXPECT_EQ(largestDifference(shownSecond, second), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ScreenRendering,
    ::testing::Values(
        RenderCase{"PainterActual", ScreenPath::painter, frameSize, ScalingMode::actualSize},
        RenderCase{"PainterReduced", ScreenPath::painter, {160, 100}, ScalingMode::fit},
        RenderCase{"PainterEnlarged", ScreenPath::painter, {480, 300}, ScalingMode::fit},
        RenderCase{"OpenGLActual", ScreenPath::opengl, frameSize, ScalingMode::actualSize},
        RenderCase{"OpenGLReduced", ScreenPath::opengl, {160, 100}, ScalingMode::fit},
        RenderCase{"OpenGLEnlarged", ScreenPath::opengl, {480, 300}, ScalingMode::fit}),
    [](const ::testing::TestParamInfo<RenderCase>& param) { return param.param.name; });

}  // namespace
}  // namespace tessaral::testing
