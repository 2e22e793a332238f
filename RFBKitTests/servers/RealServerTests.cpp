// The client against Xvnc and x11vnc: every frame must equal the X server's own capture of its
// screen exactly, after the server's reduction to the requested pixel format.

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

// The pointer lands where the server's X server says it is, clamped to the screen.
void expectPointer(const RealServer& server, Viewer& viewer, long x, long y,
                   const std::string& expected) {
    viewer.client.sendPointer(x, y, 0);
    std::string location;
    EXPECT_TRUE(waitUntil(
        [&] {
            return (location = server.xOrThrow({"xdotool", "getmouselocation"}))
                .starts_with(expected);
        },
        20s))
        << "sent " << x << "," << y << ", pointer at " << location;
}

struct PixelCase {
    ServerKind kind;
    std::int32_t encoding;
    RFBQuality quality;
    std::string version = "";  // the server's protocol version, when not its newest
};

std::vector<PixelCase> pixelCases() {
    std::vector<PixelCase> cases;
    for (std::int32_t encoding :
         {RFBEncoding::raw, RFBEncoding::rre, RFBEncoding::hextile, RFBEncoding::zrle}) {
        for (RFBQuality quality : allQualities) {
            cases.push_back({ServerKind::xvnc, encoding, quality});
        }
    }
    // x11vnc for its other encoder and rounding, and its older protocol versions.
    for (auto [encoding, quality, version] : {std::tuple{RFBEncoding::raw, RFBQuality::full, ""},
                                              {RFBEncoding::hextile, RFBQuality::thousands, ""},
                                              {RFBEncoding::hextile, RFBQuality::low, ""},
                                              {RFBEncoding::zrle, RFBQuality::full, ""},
                                              {RFBEncoding::zrle, RFBQuality::thousands, ""},
                                              {RFBEncoding::zrle, RFBQuality::low, ""},
                                              {RFBEncoding::zrle, RFBQuality::full, "3.3"},
                                              {RFBEncoding::zrle, RFBQuality::full, "3.7"}}) {
        cases.push_back({ServerKind::x11vnc, encoding, quality, version});
    }
    return cases;
}

// One server showing the pattern per kind and version, shared by the whole suite.
class Pixels : public testing::TestWithParam<PixelCase> {
  protected:
    static void TearDownTestSuite() { screens.clear(); }
    static inline std::map<std::pair<ServerKind, std::string>,
                           std::pair<std::unique_ptr<RealServer>, Picture>>
        screens;
};

TEST_P(Pixels, FullUpdateEqualsTheServersScreen) {
    const PixelCase& c = GetParam();
    auto& [server, screen] = screens[{c.kind, c.version}];
    if (!server) {
        server = std::make_unique<RealServer>(ServerOptions{.kind = c.kind, .version = c.version});
        screen = server->showPattern();
    }
    Viewer viewer(*server, {c.encoding, RFBEncoding::cursor}, c.quality);
    EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, c.quality, c.kind)), "");
    ASSERT_TRUE(viewer.info);
    EXPECT_EQ(*viewer.info, (RFBServerInfo{"Tessaral test", 493, 317,
                                           c.version.empty() ? "3.8" : c.version, false}));
    // TigerVNC sends rectangles of many colours as Raw rather than RRE; pseudo-encodings are < 0.
    for (const auto& [used, entry] : viewer.client.statistics().decoding) {
        EXPECT_TRUE(used == c.encoding || used == RFBEncoding::raw || used < 0 ||
                    entry.rectangles == 0)
            << used;
    }
    EXPECT_GT(viewer.client.statistics().decoding[c.encoding].rectangles, 0u);
}

INSTANTIATE_TEST_SUITE_P(Servers, Pixels, testing::ValuesIn(pixelCases()), [](const auto& p) {
    return (p.param.kind == ServerKind::xvnc ? "Xvnc_" : "x11vnc_") +
           caseName({p.param.encoding, p.param.quality}) +
           (p.param.version.empty() ? "" : "_" + versionName(p.param.version));
});

TEST(XvncCursor, RootCursorArrivesAsCursorEvent) {
    // Asymmetric, so that a mirrored or transposed shape fails; the mask reaches every edge so
    // that the server has nothing to crop.
    const std::vector<std::string> shape = {"#.........", "##........", "#.#.......",
                                            "#..#......", "#...#.....", "#....#....",
                                            "#..###....", "##.#......", "...#.....#"};
    const std::vector<std::string> mask = {"#.........", "##........", "###.......",
                                           "####......", "#####.....", "######....",
                                           "######....", "##.#......", "...#.....#"};
    RealServer server;
    const std::string cursorFile = server.directory().file("c.xbm");
    const std::string maskFile = server.directory().file("m.xbm");
    std::ofstream(cursorFile) << xbm(shape, 1, 2);
    std::ofstream(maskFile) << xbm(mask);
    // Colours before -cursor, which makes the cursor as it reads it; "#rrggbb" came out black.
    server.xOrThrow({"xsetroot", "-fg", "rgb:c0/30/10", "-bg", "rgb:20/a0/e0", "-cursor",
                     cursorFile, maskFile});
    server.xOrThrow({"xdotool", "mousemove", "300", "200"});
    Picture expected(10, 9, 0);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 10; ++x) {
            if (mask[y][x] == '#') {
                expected.pixel(x, y) = shape[y][x] == '#' ? 0xFFC03010 : 0xFF20A0E0;
            }
        }
    }

    Viewer viewer(server, {RFBEncoding::raw, RFBEncoding::cursor});
    // Until the client moves the pointer, Xvnc draws the cursor itself and sends an empty shape.
    ASSERT_TRUE(viewer.pumpUntil([&] { return viewer.info.has_value(); }));
    viewer.client.sendPointer(310, 210, 0);
    auto last = [&] { return viewer.cursors.empty() ? std::nullopt : viewer.cursors.back(); };
    viewer.pumpUntil([&] { return last() && pictureOf(last()->image) == expected; });
    ASSERT_TRUE(last()) << viewer.endReason();
    EXPECT_EQ(difference(pictureOf(last()->image), expected), "");
    EXPECT_EQ(last()->hotSpot.x, 1.0);
    EXPECT_EQ(last()->hotSpot.y, 2.0);
}

TEST(XvncDesktop, ResizedScreenArrivesWithItsSizeAndThePointerStaysOnIt) {
    RealServer server;
    Viewer viewer(server, {RFBEncoding::zrle, RFBEncoding::desktopSize, RFBEncoding::cursor});
    EXPECT_EQ(viewer.expectFrame(server.showPattern()), "");
    expectPointer(server, viewer, 123, 45, "x:123 y:45 ");
    expectPointer(server, viewer, -10, 5000, "x:0 y:316 ");
    expectPointer(server, viewer, 492, 0, "x:492 y:0 ");

    for (auto [width, height] : {std::pair{800, 600}, {640, 480}}) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        SCOPED_TRACE(size);
        server.xOrThrow({"xrandr", "-s", size});
        const Picture resized = server.waitForScreen([&](const Picture& screen) {
            return screen.width == width && screen.height == height;
        });
        EXPECT_EQ(viewer.expectFrame(resized), "");
        expectPointer(server, viewer, 5000, -5, "x:" + std::to_string(width - 1) + " y:0 ");
    }
}

TEST(XvncClipboard, TextTravelsBothWays) {
    RealServer server;
    Viewer viewer(server, {RFBEncoding::raw, RFBEncoding::cursor});
    ASSERT_TRUE(viewer.pumpUntil([&] { return viewer.client.statistics().updates > 0; }));

    // A new owner of the X clipboard; Latin-1 letters check the conversion.
    const std::string fromServer = "Grüße, café", file = server.directory().file("clip.txt");
    std::ofstream(file) << fromServer;
    server.startX({"xclip", "-quiet", "-selection", "clipboard", "-i", file}, "xclip.log");
    EXPECT_TRUE(viewer.pumpUntil([&] {
        return !viewer.clipboards.empty() && viewer.clipboards.back() == fromServer;
    })) << viewer.endReason();

    viewer.client.sendClipboard("naïve ½ €");  // € is outside Latin-1 and becomes "?"
    std::string pasted;
    EXPECT_TRUE(waitUntil(
        [&] {
            return (pasted = server.x({"xclip", "-o", "-selection", "clipboard"}, 5s).out) ==
                   "naïve ½ ?";
        },
        20s))
        << pasted;
}

}  // namespace
