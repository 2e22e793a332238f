// The client against Xvnc and x11vnc: every frame must equal the X server's own capture of its
// screen exactly, after the server's reduction to the requested pixel format, also on a busy
// screen and with fifty clients at once; and cursors, resizing, the pointer, the clipboard and
// VNC authentication work as the servers have them.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "ProcessResources.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

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

struct ServerCase {
    ServerKind kind;
    std::string version = "";  // the server's protocol version, when not its newest
    std::int32_t encoding = RFBEncoding::raw;
    RFBQuality quality = RFBQuality::full;
};

std::string serverName(const testing::TestParamInfo<ServerCase>& info) {
    std::string version = info.param.version;
    std::replace(version.begin(), version.end(), '.', '_');
    return (info.param.kind == ServerKind::xvnc ? "Xvnc" : "x11vnc") +
           (version.empty() ? "" : "_RFB" + version);
}

std::vector<ServerCase> pixelCases() {
    using namespace RFBEncoding;
    using enum RFBQuality;
    // x11vnc for its other encoder and rounding, and its older protocol versions.
    std::vector<ServerCase> cases = {
        {ServerKind::x11vnc, "", raw, full},       {ServerKind::x11vnc, "", hextile, thousands},
        {ServerKind::x11vnc, "", hextile, low},    {ServerKind::x11vnc, "", zrle, full},
        {ServerKind::x11vnc, "", zrle, thousands}, {ServerKind::x11vnc, "", zrle, low},
        {ServerKind::x11vnc, "3.3", zrle, full},   {ServerKind::x11vnc, "3.7", zrle, full}};
    for (std::int32_t encoding : {raw, rre, hextile, zrle}) {
        for (RFBQuality quality : allQualities) {
            cases.push_back({ServerKind::xvnc, "", encoding, quality});
        }
    }
    return cases;
}

// Eight bytes: the most a VNC password holds, so that longer ones show their cut.
const std::string storedPassword = "abcdefgh";

// Servers shared by the pixel and password runs.
const SharedServer& shown(const ServerCase& c) {
    return sharedServer({.kind = c.kind, .version = c.version, .password = storedPassword});
}

class Pixels : public testing::TestWithParam<ServerCase> {};

TEST_P(Pixels, FullUpdateEqualsTheServersScreen) {
    const ServerCase& c = GetParam();
    const auto& [server, screen, address] = shown(c);
    Viewer viewer(
        configurationFor(server.endpoint(), 15s, RFBCredentials{"", storedPassword}, c.quality),
        {c.encoding, RFBEncoding::cursor});
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
    return serverName(p) + "_" + caseName({p.param.encoding, p.param.quality});
});

class VncAuth : public testing::TestWithParam<ServerCase> {};

TEST_P(VncAuth, OnlyTheRightPasswordConnects) {
    const auto& [kind, version, encoding, quality] = GetParam();
    const auto& [server, screen, address] = shown(GetParam());
    auto attempt = [&](std::optional<RFBCredentials> credentials) {
        return rfbtest::attempt(configurationFor(server.endpoint(), 15s, credentials),
                                [&](const Picture& frame) { return frame == screen; });
    };
    // The user name plays no part in type 2 and must not keep the client from choosing it; only
    // the first eight bytes make the key, at both ends.
    for (const RFBCredentials& right :
         {RFBCredentials{"someone", storedPassword}, RFBCredentials{"", storedPassword + "XYZ"}}) {
        const auto outcome = attempt(right);
        EXPECT_EQ(difference(outcome->frame().value_or(Picture()), screen), "")
            << right.username << ":" << right.password << ", " << outcome->endReason();
    }
    // Before 3.8 the server gives no reason, but its SecurityResult still follows type 2.
    const std::string reason = !version.empty()             ? ""
                               : kind == ServerKind::x11vnc ? "password check failed!"
                                                            : "Authentication failure";
    // A changed last byte, a prefix (the key's zero padding is no wildcard), case, and empty.
    for (std::string wrong : {"abcdefgX", "abcdefg", "ABCDEFGH", ""}) {
        EXPECT_EQ(attempt(RFBCredentials{"", wrong})->error, RFBError::authenticationFailed(reason))
            << wrong;
    }
    EXPECT_EQ(attempt(std::nullopt)->error,
              RFBError::credentialsRequired(RFBCredentialKind::password));
}

INSTANTIATE_TEST_SUITE_P(Servers, VncAuth,
                         testing::Values(ServerCase{ServerKind::xvnc},
                                         ServerCase{ServerKind::x11vnc},
                                         ServerCase{ServerKind::x11vnc, "3.3"},
                                         ServerCase{ServerKind::x11vnc, "3.7"}),
                         serverName);

TEST(XvncCursor, RootCursorArrivesAsCursorEvent) {
    // '#' the foreground, 'o' the background, '.' transparent. Asymmetric, so that a mirrored or
    // transposed shape fails; the mask reaches every edge so that the server has nothing to crop.
    const std::vector<std::string> cursor = {"#.........", "##........", "#o#.......",
                                             "#oo#......", "#ooo#.....", "#oooo#....",
                                             "#oo###....", "##.#......", "...#.....#"};
    RealServer server;
    const std::string shapeFile = server.directory().file("c.xbm");
    const std::string maskFile = server.directory().file("m.xbm");
    std::ofstream(shapeFile) << xbm(cursor, 1, 2);
    std::ofstream(maskFile) << xbm(cursor, 0, 0, "#o");
    // Colours before -cursor, which makes the cursor as it reads it; "#rrggbb" came out black.
    server.xOrThrow(
        {"xsetroot", "-fg", "rgb:c0/30/10", "-bg", "rgb:20/a0/e0", "-cursor", shapeFile, maskFile});
    server.xOrThrow({"xdotool", "mousemove", "300", "200"});
    Picture expected(10, 9);
    for (std::size_t i = 0; i < expected.words.size(); ++i) {
        const char c = cursor[i / 10][i % 10];
        expected.words[i] = c == '#' ? 0xFFC03010 : c == 'o' ? 0xFF20A0E0 : 0;
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

// Pumps every viewer until `done` holds for all of them (by default: once) or the time-out.
bool pumpAll(
    std::vector<std::unique_ptr<Viewer>>& viewers,
    const std::function<bool(Viewer&)>& done = [](Viewer&) { return true; },
    std::chrono::milliseconds timeout = 0ms) {
    return waitUntil(
        [&] {
            bool all = true;
            for (auto& viewer : viewers) {
                viewer->pump();
                all = done(*viewer) && all;
            }
            return all;
        },
        timeout);
}

// Xvnc sends much of a scrolling terminal and moved windows as CopyRect, whose source is what
// the client built so far: any pixel it got wrong earlier is copied on.
TEST(XvncBusyScreen, FrameEqualsTheScreenAfterScrollingAndMovingWindows) {
    RealServer server({.width = 560, .height = 360});
    server.setBackground("#336699");
    server.hideCursor(559, 359);  // where no window ever goes, so none of their cursors shows
    server.show(testPattern(120, 80), 200, 250, "picture");
    server.startX({"xmessage", "-title", "note", "-geometry", "+380+20", "Tessaral copies this"},
                  "xmessage.log");
    const std::string picture = server.window("picture"), note = server.window("note");

    std::vector<std::unique_ptr<Viewer>> viewers;
    for (RFBQuality quality : allQualities) {
        viewers.push_back(std::make_unique<Viewer>(server, RFBClient::encodings(true), quality));
        ASSERT_TRUE(viewers.back()->pumpUntil(
            [&] { return viewers.back()->client.statistics().updates > 0; }));
    }
    // Lines of differing lengths, so that each scroll changes what the copied rows show.
    const std::string done = server.directory().file("done");
    server.startX({"xterm", "-geometry", "60x18+0+0", "-e", "sh", "-c",
                   "i=0; while [ $i -lt 400 ]; do i=$((i+1)); "
                   "printf 'line %d %*s#\\n' $i $((i * 37 % 50)) ''; sleep 0.01; done; "
                   "touch " +
                       done + "; exec sleep 600"},
                  "xterm.log");
    const char* places[][4] = {{"200", "250", "380", "20"},  {"260", "230", "300", "60"},
                               {"330", "180", "120", "280"}, {"60", "200", "330", "120"},
                               {"150", "40", "20", "300"},   {"400", "150", "250", "10"}};
    const auto deadline = Clock::now() + 45s;
    for (std::size_t move = 0; !std::filesystem::exists(done) && Clock::now() < deadline; ++move) {
        const auto* place = places[move % std::size(places)];
        server.x({"xdotool", "windowmove", picture, place[0], place[1], "windowmove", note,
                  place[2], place[3]});
        pumpAll(viewers);
    }
    ASSERT_TRUE(std::filesystem::exists(done)) << "the terminal did not finish in time";

    const Picture screen = server.waitForScreen();
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        SCOPED_TRACE(std::string(rawValue(allQualities[i])));
        Viewer& viewer = *viewers[i];
        EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, allQualities[i], ServerKind::xvnc), 10s),
                  "");
        EXPECT_TRUE(
            std::equal(viewer.repainted.begin(), viewer.repainted.end(), viewer.image->words()));
        // What makes this test worth its time: many incremental updates, copies among them.
        const auto statistics = viewer.client.statistics();
        EXPECT_GE(statistics.updates, 200u);
        EXPECT_GT(statistics.decoding.at(RFBEncoding::copyRect).rectangles, 50u);
    }
}

// Fifty clients at once against one Xvnc whose screen keeps changing: they all decode, all show
// the final screen exactly, all end cleanly when stopped, and leave no thread or descriptor.
TEST(XvncLoad, FiftyClientsDecodeTogetherAndAllEndCleanly) {
    RealServer server({.width = 320, .height = 240});
    server.showPattern(140, 90, 8, 8);
    // ImageMagick's animate flips between a picture and its inverse every 40 ms, for ever.
    Picture first = testPattern(96, 64), second = first;
    for (std::uint32_t& word : second.words) {
        word ^= 0x00FFFFFF;
    }
    const std::string one = server.directory().file("1.ppm"),
                      two = server.directory().file("2.ppm");
    writePPM(one, first), writePPM(two, second);
    Process& animation = server.startX(
        {"animate", "-borderwidth", "0", "-delay", "4", "-geometry", "+180+140", one, two},
        "animate.log");
    server.waitForScreen([&](const Picture& screen) {
        return contains(screen, first, 180, 140) || contains(screen, second, 180, 140);
    });

    const ProcessResources baseline = ProcessResources::now();
    const std::vector<std::int32_t> encodings[] = {RFBClient::encodings(true),
                                                   {RFBEncoding::hextile, RFBEncoding::cursor},
                                                   {RFBEncoding::rre, RFBEncoding::cursor},
                                                   {RFBEncoding::raw, RFBEncoding::cursor}};
    // In waves that fit Xvnc's listen backlog of 5. Beyond it the kernel answers with SYN
    // cookies and then drops the final ACK: the client's connection is established while the
    // server has never heard of it, and no version string ever comes.
    std::vector<std::unique_ptr<Viewer>> viewers;
    const auto started = Clock::now();
    for (std::size_t i = 0; i < 50; ++i) {
        viewers.push_back(std::make_unique<Viewer>(server, encodings[i % 4]));
        if (i % 4 == 3) {
            ASSERT_TRUE(pumpAll(
                viewers, [](Viewer& v) { return v.info || v.ends; }, 30s))
                << "clients up to " << i << " did not connect";
        }
    }

    // A while of decoding the animation, all at once.
    const auto decodingEnds = Clock::now() + 3s;
    long peakThreads = 0;
    EXPECT_TRUE(pumpAll(
        viewers,
        [&](Viewer& v) {
            if (&v == viewers.front().get()) {
                peakThreads = std::max(peakThreads, ProcessResources::now().threads);
            }
            return v.ends || (Clock::now() >= decodingEnds && v.client.statistics().updates >= 20);
        },
        60s))
        << "not every client got 20 updates";
    const auto decoding = Clock::now() - started;
    // Shows that the counts see the clients' threads at all.
    EXPECT_GE(peakThreads, baseline.threads + 50);

    // Once the screen stands still, every client shows it exactly.
    animation.stop();
    const Picture still = server.waitForScreen();
    pumpAll(
        viewers, [&](Viewer& v) { return v.ends || v.shows(still); }, 60s);
    std::uint64_t updates = 0;
    for (auto& viewer : viewers) {
        EXPECT_EQ(viewer->ends, 0) << viewer->endReason();
        EXPECT_EQ(difference(viewer->frame().value_or(Picture()), still), "");
        updates += viewer->client.statistics().updates;
        viewer->client.stop();
    }
    EXPECT_TRUE(pumpAll(
        viewers, [](Viewer& v) { return v.ends > 0; }, 30s));
    std::this_thread::sleep_for(50ms);
    for (auto& viewer : viewers) {
        viewer->pump();
        EXPECT_EQ(viewer->ends, 1);
        EXPECT_EQ(viewer->endReason(), "no error");
        EXPECT_TRUE(viewer->problems.empty()) << viewer->problems.front();
    }
    std::cout << "[          ] 50 clients decoded " << updates << " updates in " << decoding / 1ms
              << " ms\n";

    viewers.clear();
    EXPECT_EQ(waitForResources(baseline, 20s).describe(), baseline.describe())
        << "left behind by stopped clients";
}

}  // namespace
