#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QTest>
#include <cmath>
#include <random>

#include "SessionFixture.hpp"
#include "Views/Session/FramebufferView.hpp"

namespace tessaral::testing {
namespace {

constexpr QSize frameSize(320, 200);

QImage noise(unsigned seed) {
    QImage image(frameSize, QImage::Format_RGB32);
    std::mt19937 random(seed);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            row[x] = 0xFF000000u | (random() & 0xFFFFFFu);
        }
    }
    return image;
}

// Slow enough that every scaling filter gives nearly the same pixels.
QImage waves() {
    QImage image(frameSize, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            image.setPixel(
                x, y,
                qRgb(int(128 + 100 * std::sin(x / 23.0)), int(128 + 100 * std::cos(y / 17.0)),
                     int(128 + 100 * std::sin((x + y) / 31.0))));
        }
    }
    return image;
}

// `frame` with the areas of `damage` taken from `other`.
QImage patched(QImage frame, const QImage& other, const QRegion& damage) {
    for (const QRect& rect : damage) {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            std::memcpy(frame.scanLine(y) + rect.x() * 4, other.constScanLine(y) + rect.x() * 4,
                        std::size_t(rect.width()) * 4);
        }
    }
    return frame;
}

int largestDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return 256;
    }
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)),
                                std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
        }
    }
    return largest;
}

bool openGLAvailable() {
    QOpenGLContext context;
    return QGuiApplication::platformName() != QLatin1String("offscreen") && context.create();
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
        VNCSessionTesting::setFrame(*fixture.session, frame, damage);
        view.updateImage(scaling);
        const QImage shown =
            view.glScreen() ? view.glScreen()->grabFramebuffer() : view.grab().toImage();
        return shown.convertToFormat(QImage::Format_RGB32);
    }
    SessionFixture fixture;
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
    if (c.path == ScreenPath::opengl && !openGLAvailable()) {
        if (qEnvironmentVariableIsSet("TESSARAL_REQUIRE_OPENGL")) {
            FAIL() << "no OpenGL context on " << QGuiApplication::platformName().toStdString();
        }
        GTEST_SKIP() << "no OpenGL context on this platform";
    }
    const bool actual = c.scaling == ScalingMode::actualSize;
    const QImage first = actual ? noise(1) : waves();
    const QRegion damage =
        QRegion(10, 20, 100, 30) + QRegion(0, 199, 320, 1) + QRegion(250, 0, 70, 150);
    const QImage second = patched(first, noise(2), damage);

    Screen incremental(c.path, c.view);
    const QImage shownFirst = incremental.show(first, QRect(QPoint(), frameSize), c.scaling);
    if (actual) {
        EXPECT_EQ(largestDifference(shownFirst, first), 0);
    } else {
        const QImage expected =
            first.scaled(c.view, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        EXPECT_LE(largestDifference(shownFirst, expected), 8);
    }
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
