// The client against real servers: TigerVNC's Xvnc and x11vnc on Xvfb. Every pixel test
// compares the decoded frame with the X server's own capture of its screen, exactly, after the
// server's reduction to the requested pixel format.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

// A connected client and what it has reported so far. Frames are pulled as the session would.
class Viewer {
  public:
    Viewer(const RealServer& server, std::vector<std::int32_t> encodings,
           RFBQuality quality = RFBQuality::full)
        : client_(configuration(server, quality)) {
        RFBClientTesting::setEncodings(client_, std::move(encodings));
        client_.start();
    }

    ~Viewer() {
        client_.stop();
        pumpUntil([] { return false; }, 5s);
    }

    RFBClient& client() { return client_; }
    const std::vector<std::optional<RFBCursor>>& cursors() const { return cursors_; }
    const std::vector<std::string>& clipboards() const { return clipboards_; }

    // Handles events until `done` holds, the stream ends or the time-out passes.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (ended_ || Clock::now() >= deadline) {
                return false;
            }
            if (auto event = client_.events().next(50ms)) {
                handle(*event);
            }
        }
        return true;
    }

    RFBServerInfo connect() {
        if (!pumpUntil([&] { return info_.has_value(); }, 30s)) {
            throw std::runtime_error("not connected: " + endReason());
        }
        return *info_;
    }

    // The newest frame; none before the first.
    std::optional<Picture> frame() {
        auto image = client_.takeFrame();
        if (!image) {
            return std::nullopt;
        }
        // Holding on to the image keeps its words alive, so a new frame never reuses them.
        if (!lastImage_ || image->words() != lastImage_->words()) {
            lastImage_ = image;
            lastFrame_ = pictureOf(*image);
        }
        return lastFrame_;
    }

    // Waits for a frame that satisfies `condition` and returns the last frame seen either way,
    // so that a failing test can show how it differs.
    Picture waitForFrame(const std::function<bool(const Picture&)>& condition,
                         std::chrono::milliseconds timeout = 30s) {
        std::optional<Picture> last;
        pumpUntil(
            [&] {
                last = frame();
                return last && client_.statistics().updates > 0 && condition(*last);
            },
            timeout);
        return last.value_or(Picture());
    }

    std::string endReason() const {
        if (!ended_) {
            return "still running";
        }
        return ended_->error ? ended_->error->errorDescription() : "stopped";
    }

  private:
    static RFBConfiguration configuration(const RealServer& server, RFBQuality quality) {
        RFBConfiguration configuration = configurationFor(server.endpoint());
        configuration.quality = quality;
        return configuration;
    }

    void handle(const RFBEvent& event) {
        if (auto* connected = std::get_if<event::Connected>(&event)) {
            info_ = connected->info;
        } else if (auto* cursor = std::get_if<event::Cursor>(&event)) {
            cursors_.push_back(cursor->cursor);
        } else if (auto* clipboard = std::get_if<event::Clipboard>(&event)) {
            clipboards_.push_back(clipboard->text);
        } else if (auto* disconnected = std::get_if<event::Disconnected>(&event)) {
            ended_ = *disconnected;
        }
    }

    RFBClient client_;
    std::optional<RFBServerInfo> info_;
    std::vector<std::optional<RFBCursor>> cursors_;
    std::vector<std::string> clipboards_;
    std::optional<event::Disconnected> ended_;
    std::optional<RFBImage> lastImage_;
    Picture lastFrame_;
};

// The pixel encodings (not pseudo-encodings) that delivered rectangles.
std::vector<std::int32_t> pixelEncodingsUsed(RFBClient& client) {
    std::vector<std::int32_t> used;
    for (const auto& [encoding, entry] : client.statistics().decoding) {
        if (encoding >= 0 && entry.rectangles > 0) {
            used.push_back(encoding);
        }
    }
    return used;
}

ServerOptions x11vnc(std::vector<std::string> arguments = {}) {
    ServerOptions options;
    options.kind = ServerKind::x11vnc;
    options.arguments = std::move(arguments);
    return options;
}

// The pixels came in `encoding`, or in Raw where a server finds that cheaper (TigerVNC sends
// rectangles of many colours as Raw rather than RRE).
void expectEncodingUsed(RFBClient& client, std::int32_t encoding) {
    std::vector<std::int32_t> used = pixelEncodingsUsed(client);
    EXPECT_NE(std::find(used.begin(), used.end(), encoding), used.end()) << encodingName(encoding);
    for (std::int32_t other : used) {
        EXPECT_TRUE(other == encoding || other == RFBEncoding::raw) << encodingName(other);
    }
}

// A server showing the test pattern on a flat background, shared by one suite's tests.
struct PatternScreen {
    std::unique_ptr<RealServer> server;
    Picture capture;

    explicit PatternScreen(ServerOptions options)
        : server(std::make_unique<RealServer>(std::move(options))),
          capture(server->showPattern()) {}
};

void expectFrameOfScreen(Viewer& viewer, const Picture& capture, RFBQuality quality,
                         ServerKind kind) {
    Picture expected = expectedFrame(capture, quality, kind);
    Picture frame = viewer.waitForFrame([&](const Picture& f) { return f == expected; });
    EXPECT_EQ(difference(frame, expected), "") << viewer.endReason();
}

// One server of `kind` showing the pattern for a whole suite, whose clients must show exactly
// what it shows.
template <ServerKind kind>
class PixelsOf : public testing::TestWithParam<EncodingAndQuality> {
  protected:
    static void SetUpTestSuite() {
        screen = std::make_unique<PatternScreen>(ServerOptions{.kind = kind});
    }
    static void TearDownTestSuite() { screen.reset(); }

    void expectFullUpdateEqualsTheScreen() {
        auto [encoding, quality] = GetParam();
        Viewer viewer(*screen->server, {encoding, RFBEncoding::cursor}, quality);
        RFBServerInfo info = viewer.connect();
        EXPECT_EQ(info.width, 493);
        EXPECT_EQ(info.height, 317);
        if constexpr (kind == ServerKind::xvnc) {
            EXPECT_EQ(info, (RFBServerInfo{"Tessaral test", 493, 317, "3.8", false}));
        }
        expectFrameOfScreen(viewer, screen->capture, quality, kind);
        expectEncodingUsed(viewer.client(), encoding);
    }

    static inline std::unique_ptr<PatternScreen> screen;
};

// ---- Xvnc: every encoding in every quality -------------------------------------------------

class XvncPixels : public PixelsOf<ServerKind::xvnc> {};

TEST_P(XvncPixels, FullUpdateEqualsTheServersScreen) {
    expectFullUpdateEqualsTheScreen();
}

INSTANTIATE_TEST_SUITE_P(Encodings, XvncPixels,
                         testing::Combine(testing::Values(RFBEncoding::raw, RFBEncoding::rre,
                                                          RFBEncoding::hextile, RFBEncoding::zrle),
                                          testing::ValuesIn(allQualities)),
                         [](const auto& p) { return caseName(p.param); });

// Xvnc sends CopyRect for a window that the X server moves by copying its contents. ImageMagick's
// display repaints its window after a move, so the window that moves is xmessage's, which keeps
// what the X server copied.
class XvncCopyRect : public testing::TestWithParam<RFBQuality> {};

TEST_P(XvncCopyRect, MovedWindowArrivesAsCopyRect) {
    RFBQuality quality = GetParam();
    RealServer server;
    server.setBackground("#336699");
    server.hideCursor(5, 300);
    server.show(testPattern(320, 200), 20, 20);
    server.startX(
        {"xmessage", "-title", "moving", "-geometry", "+60+90", "Tessaral copies this window"},
        "xmessage.log");
    std::string window;
    ASSERT_TRUE(waitUntil(
        [&] {
            window = server.x({"xdotool", "search", "--onlyvisible", "--name", "^moving$"}).out;
            return !window.empty();
        },
        30s));
    window = window.substr(0, window.find('\n'));
    Picture before = server.waitForStableScreen();

    Viewer viewer(server, {RFBEncoding::copyRect, RFBEncoding::raw, RFBEncoding::cursor}, quality);
    viewer.connect();
    expectFrameOfScreen(viewer, before, quality, ServerKind::xvnc);
    EXPECT_EQ(pixelEncodingsUsed(viewer.client()), std::vector<std::int32_t>{RFBEncoding::raw});

    server.xOrThrow({"xdotool", "windowmove", window, "231", "247"});
    server.waitForScreen([&](const Picture& screen) { return screen != before; });
    Picture after = server.waitForStableScreen();
    expectFrameOfScreen(viewer, after, quality, ServerKind::xvnc);
    EXPECT_EQ(pixelEncodingsUsed(viewer.client()),
              (std::vector<std::int32_t>{RFBEncoding::raw, RFBEncoding::copyRect}));
}

INSTANTIATE_TEST_SUITE_P(Qualities, XvncCopyRect, testing::ValuesIn(allQualities),
                         [](const auto& p) { return std::string(rawValue(p.param)); });

// ---- x11vnc: a smaller set, for its different encoder and quantisation ------------------

class X11vncPixels : public PixelsOf<ServerKind::x11vnc> {};

TEST_P(X11vncPixels, FullUpdateEqualsTheServersScreen) {
    expectFullUpdateEqualsTheScreen();
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, X11vncPixels,
    testing::Values(EncodingAndQuality{RFBEncoding::raw, RFBQuality::full},
                    EncodingAndQuality{RFBEncoding::hextile, RFBQuality::thousands},
                    EncodingAndQuality{RFBEncoding::hextile, RFBQuality::low},
                    EncodingAndQuality{RFBEncoding::zrle, RFBQuality::full},
                    EncodingAndQuality{RFBEncoding::zrle, RFBQuality::thousands},
                    EncodingAndQuality{RFBEncoding::zrle, RFBQuality::low}),
    [](const auto& p) { return caseName(p.param); });

class X11vncVersions : public testing::TestWithParam<std::string> {};

TEST_P(X11vncVersions, OlderProtocolVersionsConnect) {
    PatternScreen screen(x11vnc({"-rfbversion", GetParam()}));
    Viewer viewer(*screen.server, {RFBEncoding::zrle, RFBEncoding::raw, RFBEncoding::cursor});
    EXPECT_EQ(viewer.connect().protocolVersion, GetParam());
    expectFrameOfScreen(viewer, screen.capture, RFBQuality::full, ServerKind::x11vnc);
}

INSTANTIATE_TEST_SUITE_P(Versions, X11vncVersions, testing::Values("3.3", "3.7"),
                         [](const auto& p) { return versionName(p.param); });

// ---- Xvnc: cursor, desktop size, clipboard and pointer -----------------------------------

// An X bitmap (XBM) of `rows`, '#' for a set bit. Xlib's reader wants the blanks.
std::string bitmap(const std::vector<std::string>& rows, int hotX = 0, int hotY = 0) {
    int width = int(rows.at(0).size());
    std::ostringstream text;
    text << "#define c_width " << width << "\n#define c_height " << rows.size() << "\n";
    text << "#define c_x_hot " << hotX << "\n#define c_y_hot " << hotY << "\n";
    text << "static unsigned char c_bits[] = {\n";
    bool first = true;
    for (const auto& row : rows) {
        for (int byte = 0; byte < (width + 7) / 8; ++byte) {
            int value = 0;
            for (int bit = 0; bit < 8 && byte * 8 + bit < width; ++bit) {
                if (row[std::size_t(byte * 8 + bit)] == '#') {
                    value |= 1 << bit;  // XBM puts the leftmost pixel in the lowest bit
                }
            }
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%02x", value);
            text << (first ? " " : ", ") << hex;
            first = false;
        }
    }
    text << " };\n";
    return text.str();
}

TEST(XvncCursor, RootCursorArrivesAsCursorEvent) {
    // Asymmetric, so that a mirrored or transposed shape fails; the mask reaches every edge so
    // that the server has nothing to crop.
    const std::vector<std::string> shape = {
        "#.........",  //
        "##........",  //
        "#.#.......",  //
        "#..#......",  //
        "#...#.....",  //
        "#....#....",  //
        "#..###....",  //
        "##.#......",  //
        "...#.....#",  //
    };
    const std::vector<std::string> mask = {
        "#.........",  //
        "##........",  //
        "###.......",  //
        "####......",  //
        "#####.....",  //
        "######....",  //
        "######....",  //
        "##.#......",  //
        "...#.....#",  //
    };
    RealServer server;
    std::ofstream(server.directory().file("cursor.xbm")) << bitmap(shape, 1, 2);
    std::ofstream(server.directory().file("mask.xbm")) << bitmap(mask);
    // xsetroot makes the cursor when it reads -cursor, so the colours come first; written as
    // "#rrggbb" they came out black, the rgb: form works.
    server.xOrThrow({"xsetroot", "-fg", "rgb:c0/30/10", "-bg", "rgb:20/a0/e0", "-cursor",
                     server.directory().file("cursor.xbm"), server.directory().file("mask.xbm")});
    server.xOrThrow({"xdotool", "mousemove", "300", "200"});

    const std::uint32_t foreground = 0xFFC03010, background = 0xFF20A0E0;
    Picture expected(10, 9, 0);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 10; ++x) {
            if (mask[std::size_t(y)][std::size_t(x)] == '#') {
                expected.pixel(x, y) =
                    shape[std::size_t(y)][std::size_t(x)] == '#' ? foreground : background;
            }
        }
    }

    Viewer viewer(server, {RFBEncoding::raw, RFBEncoding::cursor});
    viewer.connect();
    // Until this client moves the pointer, Xvnc draws the cursor itself and sends an empty shape.
    viewer.client().sendPointer(310, 210, 0);
    std::optional<RFBCursor> last;
    viewer.pumpUntil(
        [&] {
            if (viewer.cursors().empty()) {
                return false;
            }
            last = viewer.cursors().back();
            return last && pictureOf(last->image) == expected;
        },
        30s);
    ASSERT_FALSE(viewer.cursors().empty()) << viewer.endReason();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(difference(pictureOf(last->image), expected), "");
    EXPECT_EQ(last->hotSpot.x, 1.0);
    EXPECT_EQ(last->hotSpot.y, 2.0);
}

TEST(XvncDesktopSize, ResizedScreenArrivesWithItsNewSize) {
    RealServer server;
    const Picture pattern = server.showPattern();

    Viewer viewer(server, {RFBEncoding::zrle, RFBEncoding::desktopSize, RFBEncoding::cursor});
    viewer.connect();
    expectFrameOfScreen(viewer, pattern, RFBQuality::full, ServerKind::xvnc);

    for (auto [width, height, command] :
         {std::tuple{800, 600, std::vector<std::string>{"xrandr", "-s", "800x600"}},
          std::tuple{640, 480, std::vector<std::string>{"xrandr", "-s", "640x480"}}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        server.xOrThrow(command);
        Picture resized = server.waitForScreen([&](const Picture& screen) {
            return screen.width == width && screen.height == height;
        });
        expectFrameOfScreen(viewer, resized, RFBQuality::full, ServerKind::xvnc);

        // The pointer is clamped to the new size.
        viewer.client().sendPointer(5000, -5, 0);
        std::string expected = "x:" + std::to_string(width - 1) + " y:0 ";
        std::string location;
        EXPECT_TRUE(waitUntil(
            [&] {
                location = server.xOrThrow({"xdotool", "getmouselocation"});
                return location.rfind(expected, 0) == 0;
            },
            20s))
            << location;
    }
}

TEST(XvncClipboard, TextTravelsBothWays) {
    RealServer server;
    Viewer viewer(server, {RFBEncoding::raw, RFBEncoding::cursor});
    viewer.connect();
    viewer.waitForFrame([](const Picture&) { return true; });

    // Server to client: a new owner of the X clipboard. Latin-1 letters check the conversion.
    const std::string fromServer = "Grüße, café";
    std::string file = server.directory().file("clipboard.txt");
    std::ofstream(file) << fromServer;
    server.startX({"xclip", "-quiet", "-selection", "clipboard", "-i", file}, "xclip.log");
    EXPECT_TRUE(viewer.pumpUntil(
        [&] { return !viewer.clipboards().empty() && viewer.clipboards().back() == fromServer; },
        30s))
        << viewer.endReason();

    // Client to server: becomes the X clipboard.
    const std::string fromClient = "naïve ½ €";  // € is outside Latin-1 and becomes "?"
    viewer.client().sendClipboard(fromClient);
    std::string pasted;
    EXPECT_TRUE(waitUntil(
        [&] {
            pasted = server.x({"xclip", "-o", "-selection", "clipboard"}, 5s).out;
            return pasted == "naïve ½ ?";
        },
        20s))
        << pasted;
}

TEST(XvncPointer, PointerGoesWhereAsked) {
    RealServer server;
    Viewer viewer(server, {RFBEncoding::raw, RFBEncoding::cursor});
    viewer.connect();
    viewer.waitForFrame([](const Picture&) { return true; });

    for (auto [x, y, expected] :
         {std::tuple{123L, 45L, "x:123 y:45 "}, std::tuple{-10L, 5000L, "x:0 y:316 "},
          std::tuple{492L, 0L, "x:492 y:0 "}}) {
        viewer.client().sendPointer(x, y, 0);
        std::string location;
        EXPECT_TRUE(waitUntil(
            [&] {
                location = server.xOrThrow({"xdotool", "getmouselocation"});
                return location.rfind(expected, 0) == 0;
            },
            20s))
            << "sent " << x << "," << y << ", pointer at " << location;
    }
}

}  // namespace
