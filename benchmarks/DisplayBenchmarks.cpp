// The display path after decoding: from an update's last byte to its pixels being handed to the
// screen, and the cost of showing one 1920×1080 frame through each path, beside a memcpy of it.
// The OpenGL figures need a display with OpenGL (e.g. xvfb-run with QT_QPA_PLATFORM=xcb); on the
// offscreen platform only the painter is measured.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QOpenGLContext>
#include <QPainter>
#include <QTemporaryDir>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "FakeKeychain.hpp"
#include "FakeServer.hpp"
#include "LocalClipboard.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "VNCSession.hpp"
#include "Views/Session/FramebufferView.hpp"
#include "Views/Session/GLScreen.hpp"

using namespace tessaral;
using tessaral::testing::TestKeychain;

namespace {

constexpr QSize screen(1920, 1080);
constexpr QSize reduced(1280, 720);
// A typical update: a few lines of a terminal or a dialog being redrawn.
const QRect typicalDamage(200, 300, 800, 240);

QImage desktop() {
    QImage image(screen, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            row[x] = 0xFF000000u | std::uint32_t((x * 7) ^ (y * 13)) * 0x010203u;
        }
    }
    return image;
}

void waitUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

class NoClipboard final : public LocalClipboard {
  public:
    long changeCount() const override { return 0; }
    std::optional<QString> text() const override { return std::nullopt; }
    void setText(const QString&) override {}
};

void BM_MemcpyFrame(benchmark::State& state) {
    const QImage frame = desktop();
    std::vector<std::uint8_t> copy(std::size_t(frame.sizeInBytes()));
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.constBits(), copy.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * frame.sizeInBytes());
}

// The painter path as the window paints it: the whole frame into the view's backing image.
void BM_PainterFrame(benchmark::State& state) {
    const bool scaled = state.range(0) != 0;
    const QImage frame = desktop();
    QImage target(scaled ? reduced : screen, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter painter(&target);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, scaled);
        painter.drawImage(QRectF(target.rect()), frame);
    }
    state.SetLabel(scaled ? "scaled into 1280x720" : "actual size");
}

// The OpenGL path: uploading what changed and drawing the texture, finished.
class MeasuredScreen : public GLScreen {
  public:
    using GLScreen::GLScreen;
    void render() {
        makeCurrent();
        paintGL();
        context()->functions()->glFinish();
        doneCurrent();
    }
};

void BM_OpenGLFrame(benchmark::State& state) {
    const bool scaled = state.range(0) != 0;
    const bool whole = state.range(1) != 0;
    const QImage frame = desktop();
    MeasuredScreen glScreen([&] { return std::optional<FramePaint>(FramePaint(frame)); });
    glScreen.resize(scaled ? reduced : screen);
    glScreen.show();
    waitUntil([&] { return glScreen.isValid(); });
    glScreen.setTarget(QRectF(QPointF(), scaled ? reduced : screen));
    glScreen.setFrame(frame.size(), QRect(QPoint(), screen));
    glScreen.render();
    const QRegion damage = whole ? QRegion(QRect(QPoint(), screen)) : QRegion(typicalDamage);
    for (auto _ : state) {
        glScreen.setFrame(frame.size(), damage);
        glScreen.render();
    }
    state.SetLabel(std::string(whole ? "whole frame" : "800x240 damaged") +
                   (scaled ? ", scaled into 1280x720" : ", actual size"));
}

// A fake server sends an update of the typical area in raw pixels; the time runs from its last
// byte leaving the server (loopback, so as good as arriving) to the view handing the pixels over.
void BM_UpdateToScreen(benchmark::State& state) {
    using rfbtest::Peer;
    std::mutex mutex;
    std::condition_variable wake;
    int requested = 0;
    int written = 0;
    bool finished = false;
    std::chrono::steady_clock::time_point lastByte;
    rfbtest::FakeServer server([&](Peer& peer) {
        rfbtest::acceptWithoutSecurity(peer, std::uint16_t(screen.width()),
                                       std::uint16_t(screen.height()));
        const rfbtest::Bytes format = peer.read(20);
        const std::size_t bytesPerPixel = format[4] / 8;
        const QRect area = typicalDamage;
        rfbtest::Bytes update =
            rfbtest::Bytes{0, 0} + rfbtest::u16(1) + rfbtest::u16(std::uint16_t(area.x())) +
            rfbtest::u16(std::uint16_t(area.y())) + rfbtest::u16(std::uint16_t(area.width())) +
            rfbtest::u16(std::uint16_t(area.height())) + rfbtest::u32(0);
        update.resize(update.size() + std::size_t(area.width() * area.height()) * bytesPerPixel,
                      0x5A);
        for (int sent = 0;; ++sent) {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return finished || requested > sent; });
            if (finished) {
                return;
            }
            lock.unlock();
            peer.write(update);
            lock.lock();
            lastByte = std::chrono::steady_clock::now();
            written = sent + 1;
        }
    });

    QTemporaryDir folder;
    TestKeychain<> keychain;
    NoClipboard clipboard;
    ConnectionStore store(keychain, folder.path());
    IdentityStore identities(folder.path());
    Connection connection;
    connection.name = QStringLiteral("Bench");
    connection.host = QStringLiteral("127.0.0.1");
    connection.port = server.port();
    VNCSession session(connection, store, identities, keychain, clipboard,
                       rfb::RFBCredentials{"", ""});
    FramebufferView view;
    view.setSession(&session);
    view.resize(screen);
    view.show();
    QObject::connect(&session, &VNCSession::frameChanged, &view,
                     [&] { view.updateImage(ScalingMode::actualSize); });
    std::chrono::steady_clock::time_point handedOver;
    int handOvers = 0;
    setScreenHandOverObserver([&] {
        handedOver = std::chrono::steady_clock::now();
        ++handOvers;
    });
    session.connect();
    waitUntil([&] { return !session.frameSize().isEmpty() && handOvers > 0; });

    for (auto _ : state) {
        // Each update comes to an idle screen, as a keystroke's echo does: one that follows the
        // last within a refresh is held back for the next refresh on purpose.
        std::this_thread::sleep_for(std::chrono::milliseconds(17));
        const int before = handOvers;
        {
            std::lock_guard lock(mutex);
            ++requested;
        }
        wake.notify_one();
        waitUntil([&] {
            std::lock_guard lock(mutex);
            return handOvers > before && written == requested && handedOver > lastByte;
        });
        std::lock_guard lock(mutex);
        state.SetIterationTime(std::chrono::duration<double>(handedOver - lastByte).count());
    }
    state.SetLabel(screenPath() == ScreenPath::opengl ? "opengl" : "painter");
    setScreenHandOverObserver(nullptr);
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    wake.notify_one();
    session.disconnect();
}

bool openGLAvailable() {
    QOpenGLContext context;
    return QGuiApplication::platformName() != QLatin1String("offscreen") && context.create();
}

}  // namespace

int main(int argc, char** argv) {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    benchmark::RegisterBenchmark("BM_MemcpyFrame", BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_PainterFrame", BM_PainterFrame)
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMicrosecond);
    if (openGLAvailable()) {
        benchmark::RegisterBenchmark("BM_OpenGLFrame", BM_OpenGLFrame)
            ->ArgNames({"scaled", "whole"})
            ->Args({0, 1})
            ->Args({0, 0})
            ->Args({1, 1})
            ->Args({1, 0})
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("BM_UpdateToScreen", BM_UpdateToScreen)
        ->UseManualTime()
        ->Iterations(200)
        ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
