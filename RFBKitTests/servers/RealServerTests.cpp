// The client against real servers. Against Xvnc, x11vnc and Xtightvnc every frame must equal the
// X server's own capture of its screen exactly, after the server's reduction to the requested pixel
// format, also on a busy screen and with fifty clients at once (JPEG only nearly); and cursors,
// resizing, the pointer, the clipboard, VNC and Apple authentication and Bonjour work as the
// servers have them.

#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "BonjourResolver.hpp"
#include "ProcessResources.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

// The pointer lands where the server's X server says it is, clamped to the screen.
void expectPointer(const RealServer& server, Viewer& viewer, long x, long y,
                   const std::string& expected) {
    viewer.client.sendPointer(x, y, 0);
    const auto location = [&] { return server.xOrThrow({"xdotool", "getmouselocation"}); };
    EXPECT_TRUE(waitUntil([&] { return location().starts_with(expected); }, 20s))
        << "sent " << x << "," << y << ", pointer at " << location();
}

struct ServerCase {
    ServerKind kind;
    std::string version = "";  // the server's protocol version, when not its newest
    std::int32_t encoding = RFBEncoding::raw;
    RFBQuality quality = RFBQuality::full;
    bool password = true;
};

std::string serverName(const testing::TestParamInfo<ServerCase>& info) {
    std::string version = info.param.version;
    std::replace(version.begin(), version.end(), '.', '_');
    const char* names[] = {"Xvnc", "x11vnc", "x0vncserver", "Xtightvnc"};
    return names[int(info.param.kind)] + (version.empty() ? "" : "_RFB" + version);
}

std::vector<ServerCase> pixelCases() {
    using namespace RFBEncoding;
    using enum RFBQuality;
    // x11vnc for its other encoder and rounding, TightVNC 1.3 for the first Tight encoder, and
    // x11vnc's older protocol versions, where security None differs: chosen by the server in 3.3,
    // without a result in 3.7.
    std::vector<ServerCase> cases = {{ServerKind::x11vnc, "", raw, full},
                                     {ServerKind::x11vnc, "", hextile, thousands},
                                     {ServerKind::x11vnc, "", hextile, low},
                                     {ServerKind::x11vnc, "", zrle, full},
                                     {ServerKind::x11vnc, "", zrle, thousands},
                                     {ServerKind::x11vnc, "", zrle, low},
                                     {ServerKind::x11vnc, "", tight, full},
                                     {ServerKind::x11vnc, "", tight, thousands},
                                     {ServerKind::xtightvnc, "", tight, full},
                                     {ServerKind::x11vnc, "3.3", zrle, full, false},
                                     {ServerKind::x11vnc, "3.7", zrle, full, false}};
    for (std::int32_t encoding : {raw, rre, hextile, zrle, tight}) {
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
    return sharedServer({.kind = c.kind,
                         .version = c.version,
                         .password = c.password ? std::optional(storedPassword) : std::nullopt});
}

class Pixels : public testing::TestWithParam<ServerCase> {};

TEST_P(Pixels, FullUpdateEqualsTheServersScreen) {
    const ServerCase& c = GetParam();
    const auto& [server, screen, address] = shown(c);
    Viewer viewer(
        configurationFor(server.endpoint(), 15s, RFBCredentials{"", storedPassword}, c.quality),
        {c.encoding, RFBEncoding::cursor});
    EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, c.quality, c.kind)), "");
    // TightVNC dresses the name up with the user, the host and the display.
    const std::string name = c.kind == ServerKind::xtightvnc ? viewer.info->name : "Tessaral test";
    EXPECT_NE(name.find("Tessaral test"), name.npos) << name;
    EXPECT_EQ(viewer.info,
              (RFBServerInfo{name, 493, 317, c.version.empty() ? "3.8" : c.version, false}));
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

// Automatic with its own encodings starts with JPEG; whether it then measures the loopback as
// fast (and asks for the whole screen again) or the screen holds still (and it asks for the
// JPEG areas again), nothing shown lossily may stay.
TEST(AutomaticQualityServers, EndsExactOnEveryTightServer) {
    for (ServerKind kind : {ServerKind::xvnc, ServerKind::x11vnc, ServerKind::xtightvnc}) {
        SCOPED_TRACE(int(kind));
        const auto& [server, screen, address] = shown({kind, "", 0, RFBQuality::automatic});
        Viewer viewer(configurationFor(server.endpoint(), 15s, RFBCredentials{"", storedPassword},
                                       RFBQuality::automatic));
        EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, RFBQuality::full, kind)), "");
    }
}

class VncAuth : public testing::TestWithParam<ServerCase> {};

TEST_P(VncAuth, OnlyTheRightPasswordConnects) {
    const auto& [kind, version, encoding, quality, password] = GetParam();
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
    // Colours before -cursor, which makes the cursor as it reads it; "#rrggbb" came out black.
    server.xOrThrow({"xsetroot", "-fg", "rgb:c0/30/10", "-bg", "rgb:20/a0/e0", "-cursor",
                     server.file("c.xbm", xbm(cursor, 1, 2)),
                     server.file("m.xbm", xbm(cursor, 0, 0, "#o"))});
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
    EXPECT_EQ(std::pair(last()->hotSpot.x, last()->hotSpot.y), std::pair(1.0, 2.0));
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

// With the extended clipboard any text crosses byte for byte; without it, Latin-1 only.
TEST(XvncClipboard, TextTravelsBothWays) {
    const struct {
        bool extended;
        std::string fromServer, sent, pasted;
    } cases[] = {
        {false, "Grüße, café", "naïve ½ €", "naïve ½ ?"},
        {true, "€ 日本語 🙂\nzwei", "🙂 日本語 €\nzwei", "🙂 日本語 €\nzwei"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extended ? "extended" : "Latin-1");
        RealServer server;
        std::vector<std::int32_t> encodings{RFBEncoding::raw, RFBEncoding::cursor};
        if (c.extended) {
            encodings.push_back(RFBEncoding::extendedClipboard);
        }
        Viewer viewer(server, encodings);
        ASSERT_TRUE(viewer.pumpUntil([&] { return viewer.client.statistics().updates > 0; }));

        // A new owner of the X clipboard.
        const std::string file = server.file("clip.txt", c.fromServer);
        server.startX({"xclip", "-quiet", "-selection", "clipboard", "-i", file}, "xclip.log");
        EXPECT_TRUE(viewer.pumpUntil([&] {
            return !viewer.clipboards.empty() && viewer.clipboards.back() == c.fromServer;
        })) << viewer.endReason();

        viewer.client.sendClipboard(c.sent);
        // Xvnc fetches a notified text only when an X client asks for it: keep answering.
        std::string pasted;
        EXPECT_TRUE(waitUntil(
            [&] {
                viewer.pump();
                pasted = server.x({"xclip", "-o", "-selection", "clipboard"}, 5s).out;
                return pasted == c.pasted;
            },
            20s))
            << pasted << server.log();
    }
}

// Pumps every viewer until `done` holds for all of them (by default: once) or the time-out.
bool pumpAll(
    std::vector<std::unique_ptr<Viewer>>& viewers, std::chrono::milliseconds timeout = 0ms,
    const std::function<bool(Viewer&)>& done = [](Viewer&) { return true; }) {
    const auto allDone = [&] {
        bool all = true;
        for (auto& viewer : viewers) {
            viewer->pump();
            all = done(*viewer) && all;
        }
        return all;
    };
    return waitUntil(allDone, timeout);
}

// Xvnc's JPEG at quality 8 where the pattern has many colours: close to the screen (a mean
// difference of 1.4 a channel in full colour, 2.4 in thousands), but not equal.
TEST(XvncJPEG, PhotoLikeAreasArriveCloseToTheScreen) {
    const SharedServer& shared = sharedServer();
    for (RFBQuality quality : {RFBQuality::full, RFBQuality::thousands}) {
        Viewer viewer(shared.server, {RFBEncoding::tight, RFBEncoding::jpegQuality0 + 8}, quality);
        ASSERT_TRUE(viewer.pumpUntil([&] { return viewer.client.statistics().completeUpdates; }));
        const Picture frame = *viewer.frame(), expected = expectedFrame(shared.screen, quality, {});
        EXPECT_NE(frame, expected);
        EXPECT_LT(meanAndPeakError(frame, expected).first, 4.0) << rawValue(quality);
    }
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
        // Each quality's own encodings, changing with it (and with Automatic's measurements).
        viewers.push_back(std::make_unique<Viewer>(server, std::vector<std::int32_t>{}, quality));
        ASSERT_TRUE(viewers.back()->pumpUntil(
            [&] { return viewers.back()->client.statistics().updates > 0; }));
    }
    // Lines of differing lengths, so that each scroll changes what the copied rows show.
    const std::string done = server.file("done");
    server.startX({"xterm", "-geometry", "60x18+0+0", "-e", "sh", "-c",
                   "i=0; while [ $i -lt 400 ]; do i=$((i+1)); "
                   "printf 'line %d %*s#\\n' $i $((i * 37 % 50)) ''; sleep 0.01; done; "
                   "touch " +
                       done + "; exec sleep 600"},
                  "xterm.log");
    const char* places[][4] = {{"200", "250", "380", "20"},  {"260", "230", "300", "60"},
                               {"330", "180", "120", "280"}, {"60", "200", "330", "120"},
                               {"150", "40", "20", "300"},   {"400", "150", "250", "10"}};
    // Halfway each viewer changes its quality: with continuous updates the updates already on
    // their way still come in the old pixel format.
    std::vector<RFBQuality> qualities(std::begin(allQualities), std::end(allQualities));
    std::rotate(qualities.begin(), qualities.begin() + 1, qualities.end());
    const auto deadline = Clock::now() + 45s;
    for (std::size_t move = 0; !std::filesystem::exists(done) && Clock::now() < deadline; ++move) {
        for (std::size_t i = 0; move == 10 && i < viewers.size(); ++i) {
            viewers[i]->client.setQuality(qualities[i]);
        }
        const auto* place = places[move % std::size(places)];
        server.x({"xdotool", "windowmove", picture, place[0], place[1], "windowmove", note,
                  place[2], place[3]});
        pumpAll(viewers);
    }
    ASSERT_TRUE(std::filesystem::exists(done)) << "the terminal did not finish in time";

    const Picture screen = server.waitForScreen();
    for (std::size_t i = 0; i < viewers.size(); ++i) {
        SCOPED_TRACE(std::string(rawValue(qualities[i])));
        Viewer& viewer = *viewers[i];
        EXPECT_EQ(viewer.expectFrame(expectedFrame(screen, qualities[i], ServerKind::xvnc), 10s),
                  "");
        EXPECT_TRUE(
            std::equal(viewer.repainted.begin(), viewer.repainted.end(), viewer.image->words()));
        // What makes this test worth its time: many incremental updates, copies among them.
        const auto statistics = viewer.client.statistics();
        EXPECT_GE(statistics.updates, 200u);
        EXPECT_GT(statistics.decoding.at(RFBEncoding::copyRect).rectangles, 50u);
        EXPECT_TRUE(statistics.continuousUpdates);
    }
}

// Fifty clients at once against one Xvnc whose screen keeps changing: they all decode, all show
// the final screen exactly, all end cleanly when stopped, and leave no thread or descriptor.
TEST(XvncLoad, FiftyClientsDecodeTogetherAndAllEndCleanly) {
    RealServer server({.width = 320, .height = 240});
    server.showPattern(140, 90, 8, 8);
    // ImageMagick's animate flips between a picture and its inverse every 40 ms, for ever.
    Picture first = testPattern(96, 64), second = first;
    std::ranges::for_each(second.words, [](std::uint32_t& word) { word ^= 0x00FFFFFF; });
    const std::string one = server.file("1.ppm", ppm(first)),
                      two = server.file("2.ppm", ppm(second));
    Process& animation = server.startX(
        {"animate", "-borderwidth", "0", "-delay", "4", "-geometry", "+180+140", one, two},
        "animate.log");
    server.waitForScreen([&](const Picture& screen) {
        return contains(screen, first, 180, 140) || contains(screen, second, 180, 140);
    });

    const ProcessResources baseline = ProcessResources::now();
    const std::vector<std::int32_t> encodings[] = {RFBClient::encodings(RFBQuality::full, true),
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
            ASSERT_TRUE(pumpAll(viewers, 30s, [](Viewer& v) { return v.info || v.ends; }))
                << "clients up to " << i << " did not connect";
        }
    }

    // A while of decoding the animation, all at once.
    const auto decodingEnds = Clock::now() + 3s;
    long peakThreads = 0;
    EXPECT_TRUE(pumpAll(viewers, 60s, [&](Viewer& v) {
        if (&v == viewers.front().get()) {
            peakThreads = std::max(peakThreads, ProcessResources::now().threads);
        }
        return v.ends || (Clock::now() >= decodingEnds && v.client.statistics().updates >= 20);
    })) << "not every client got 20 updates";
    const auto decoding = Clock::now() - started;
    // Shows that the counts see the clients' threads at all.
    EXPECT_GE(peakThreads, baseline.threads + 50);

    // Once the screen stands still, every client shows it exactly.
    animation.stop();
    const Picture still = server.waitForScreen();
    pumpAll(viewers, 60s, [&](Viewer& v) { return v.ends || v.shows(still); });
    std::uint64_t updates = 0;
    for (auto& viewer : viewers) {
        EXPECT_EQ(viewer->ends, 0) << viewer->endReason();
        EXPECT_EQ(difference(viewer->frame().value_or(Picture()), still), "");
        updates += viewer->client.statistics().updates;
        viewer->client.stop();
    }
    EXPECT_TRUE(pumpAll(viewers, 30s, [](Viewer& v) { return v.ends > 0; }));
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

// Python test servers, whose arithmetic is Python's and Cryptodome's rather than the client's:
// ard_server.py for type 30, rsa_aes_server.py for RSA-AES. The first line they print names their
// port, and what follows on it is `said`.
const RFBCredentials tester{"tester", "secret"};
const auto wrongCredentials =
    RFBError::authenticationFailed("Authentication failed: wrong user name or password.");

// Cryptodome is packaged for the system interpreter only.
const std::string python = "/usr/bin/python3";

struct ScriptServer {
    TemporaryDirectory directory;
    Process process;
    int port = 0;
    std::string said;

    explicit ScriptServer(const std::vector<std::string>& command)
        : process(Process::spawn(command, {}, directory.file("server.log"))) {
        char rest[128] = "";
        const auto told = [&] {
            return std::sscanf(log().c_str(), "PORT %d %127s", &port, rest) >= 1;
        };
        waitUntil([&] { return told() || !process.running(); }, 20s);
        if (port == 0) {
            throw std::runtime_error("the test server did not start:\n" + log());
        }
        said = rest;
    }
    std::string log() const { return fileText(directory.file("server.log")); }
    RFBConfiguration configuration(std::optional<RFBCredentials> credentials) const {
        return configurationFor(RFBEndpoint::host("127.0.0.1", port), 10s, std::move(credentials));
    }
    std::unique_ptr<Viewer> attempt(std::optional<RFBCredentials> credentials) const {
        return rfbtest::attempt(configuration(std::move(credentials)));
    }
};

// Modes the client accepts (the 1024-bit group, both ends of the key-length range, a server key
// above the prime) and ones it must end with their error; credentials a type-30 server rejects or
// the client cannot send; and without a user name, the fall-back to type 2.
struct ARDCase {
    std::string name;
    std::optional<RFBError> error = std::nullopt;
    std::string mode = name, types = "30,2";
    RFBCredentials credentials = tester;
};

class ARDServers : public testing::TestWithParam<ARDCase> {};

TEST_P(ARDServers, EndAsTheServerAndTheCredentialsCallFor) {
    const ARDCase& c = GetParam();
    const ScriptServer server({python, TESSARAL_ARD_SERVER, "--types", c.types, "--mode", c.mode});
    const auto outcome = server.attempt(c.credentials);
    EXPECT_EQ(outcome->error, c.error) << server.log();
    EXPECT_EQ(outcome->endReason(), describe(c.error));
    if (!c.error) {
        EXPECT_EQ(outcome->info, (RFBServerInfo{"ard-test", 64, 48, "3.889", true}));
        const char* chosen = c.credentials.username.empty() ? "type 2" : "accepted";
        EXPECT_NE(server.log().find(chosen), std::string::npos) << server.log();
    }
}

const auto keyLength = RFBError::protocolViolation("ARD key length"),
           tooLong = RFBError::authenticationFailed("The username or password is too long."),
           noUser = RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword);
INSTANTIATE_TEST_SUITE_P(
    Cases, ARDServers,
    testing::Values(
        ARDCase{"normal"}, ARDCase{"key16"}, ARDCase{"key512"}, ARDCase{"bigkey"},
        ARDCase{"keylen15", keyLength}, ARDCase{"keylen513", keyLength},
        ARDCase{"keylen0", keyLength},
        ARDCase{"evenprime", RFBError::protocolViolation("ARD prime")},
        ARDCase{"close_after_challenge", RFBError::connectionClosed()},
        ARDCase{"truncated", RFBError::connectionClosed()},
        // 0xFF bytes where ServerInit belongs: a desktop name of 2^32 - 1 bytes.
        ARDCase{"garbage_after_result", RFBError::protocolViolation("string length 4294967295")},
        ARDCase{"wrong_password", wrongCredentials, "normal", "30", {"tester", "Secret"}},
        ARDCase{"wrong_user", wrongCredentials, "normal", "30", {"someone", "secret"}},
        ARDCase{"empty_password", wrongCredentials, "normal", "30", {"tester", ""}},
        ARDCase{"no_user", noUser, "normal", "30", {"", "secret"}},
        ARDCase{"too_long", tooLong, "normal", "30", {"tester", std::string(64, 'p')}},
        ARDCase{"type2", std::nullopt, "normal", "30,2", {"", "secret"}},
        ARDCase{"type2_wrong", wrongCredentials, "normal", "30,2", {"", "wrong"}}),
    [](const auto& test) { return test.param.name; });

// tessaral-snapshot logs in with a user name and a password that never is among its arguments.
TEST(ARDServer, SnapshotToolLogsInWithTheUserAndThePasswordFile) {
    const ScriptServer server({python, TESSARAL_ARD_SERVER, "--types", "30"});
    const std::string address = "127.0.0.1:" + std::to_string(server.port);
    const std::string png = server.directory.file("out.png"),
                      right = server.directory.file("r", "secret\n"),
                      wrong = server.directory.file("w", "Secret\n");
    // Type 30 needs a user name, and standard input is no terminal to ask for one on.
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--username", "tester", "--password-file", right, address}, 0, ""},
        {{"--password-file", right, "vnc://tester@" + address}, 0, ""},
        {{"--username", "tester", "--password-file", wrong, address},
         3,
         "Authentication failed: wrong user name or password.\n"},
        {{"--password-file", right, address}, 3, "Authentication is required.\n"},
    };
    const std::string stats =
        "Server: ard-test\nProtocol version: 3.889\nSecurity: not encrypted\nSize: 64x48\n";
    for (auto [arguments, code, error] : cases) {
        arguments.insert(arguments.begin(), {TESSARAL_SNAPSHOT, "--stats"});
        arguments.push_back(png);
        const CommandResult result = run(arguments, {}, 60s);
        EXPECT_EQ(result.exitCode, code) << result.err << server.log();
        EXPECT_EQ(result.err, error);
        EXPECT_EQ(result.out.starts_with(stats), code == 0) << result.out;
    }
    EXPECT_TRUE(std::filesystem::exists(png));
}

// RSA-AES through rsa_aes_server.py, which relays the shared Xvnc's session once the client is in:
// every type shows the screen exactly once the user trusts the server's key, by the fingerprint the
// server computes or as the key itself; another key is a changed identity, and the credentials the
// subtype asks for are checked inside.
// Xvnc without security, shown to nobody else, so that no other test leaves its marks on it.
const SharedServer& relayed() {
    return sharedServer({.desktopName = "Tessaral relayed"});
}

ScriptServer rsaAESServer(int type, int subtype, const std::string& mode = "normal") {
    return ScriptServer({python, TESSARAL_RSA_AES_SERVER, "--type", std::to_string(type),
                         "--subtype", std::to_string(subtype), "--mode", mode, "--relay",
                         std::to_string(relayed().server.port())});
}

struct RSAAESCase {
    int type, subtype;
    std::string method;  // empty where only the credentials are encrypted
};

class RSAAESServers : public testing::TestWithParam<RSAAESCase> {};

TEST_P(RSAAESServers, ShowTheScreenOnceTheUserTrustsTheKey) {
    const auto& [type, subtype, method] = GetParam();
    const ScriptServer server = rsaAESServer(type, subtype);
    RFBConfiguration configuration = server.configuration(tester);
    const std::optional<RFBError> untrusted = attempt(configuration)->error;
    ASSERT_TRUE(untrusted && untrusted->identity()) << describe(untrusted) << server.log();
    const RFBIdentity key = *untrusted->identity();
    EXPECT_EQ(*untrusted, RFBError::identityNotTrusted(key));
    EXPECT_EQ(key.kind, RFBIdentity::Kind::rsaKey);
    EXPECT_EQ(key.fingerprint(), server.said);

    configuration.trustedFingerprint = server.said;
    Viewer viewer(configuration);
    EXPECT_EQ(viewer.expectFrame(relayed().screen), "") << server.log();
    EXPECT_EQ(viewer.info.value_or(RFBServerInfo()).protection,
              (RFBProtection{!method.empty(), method, RFBProtection::Identity::trustedByUser}));

    configuration.trustedFingerprint.reset();
    configuration.trustedIdentity = key;
    const auto needs =
        subtype == 1 ? RFBCredentialKind::usernameAndPassword : RFBCredentialKind::password;
    const std::pair<std::optional<RFBCredentials>, std::optional<RFBError>> logins[] = {
        {tester, std::nullopt},
        {RFBCredentials{"tester", "Secret"}, wrongCredentials},
        {RFBCredentials{"tester", std::string(255, 'p')}, wrongCredentials},
        {RFBCredentials{"tester", std::string(256, 'p')},
         RFBError::authenticationFailed("The user name or password is too long.")},
        {std::nullopt, RFBError::credentialsRequired(needs)}};
    for (const auto& [credentials, error] : logins) {
        configuration.credentials = credentials;
        EXPECT_EQ(attempt(configuration)->error, error) << server.log();
    }

    const ScriptServer other = rsaAESServer(type, subtype);
    RFBConfiguration changed = other.configuration(tester);
    changed.trustedIdentity = key;
    const std::optional<RFBError> error = attempt(changed)->error;
    ASSERT_TRUE(error && error->identity()) << describe(error);
    EXPECT_EQ(*error, RFBError::identityChanged(*error->identity()));
    EXPECT_EQ(error->identity()->fingerprint(), other.said);
}

INSTANTIATE_TEST_SUITE_P(Types, RSAAESServers,
                         testing::Values(RSAAESCase{5, 1, "RSA-AES-128"}, RSAAESCase{6, 2, ""},
                                         RSAAESCase{129, 2, "RSA-AES-256"}, RSAAESCase{130, 1, ""}),
                         [](const auto& test) { return "Type" + std::to_string(test.param.type); });

// A server that lies inside the records ends the session with one clear error, also once the
// session runs (a broken tag after ServerInit).
TEST(RSAAESServer, LiesEndTheSessionWithTheirError) {
    using E = RFBError;
    const std::tuple<std::string, int, RFBError> lies[] = {
        {"bad_hash", 129,
         E::secureConnectionFailed("the server did not prove that it holds its key")},
        {"truncated_record", 5, E::connectionClosed()},
        {"bad_tag", 5, E::secureConnectionFailed("the server’s data failed its integrity check")},
        {"subtype3", 6, E::protocolViolation("RSA-AES subtype 3")},
        {"data_after_subtype", 130, E::protocolViolation("RSA-AES data after the subtype")},
    };
    for (const auto& [mode, type, error] : lies) {
        const ScriptServer server = rsaAESServer(type, 1, mode);
        RFBConfiguration configuration = server.configuration(tester);
        configuration.trustedFingerprint = server.said;
        const auto outcome = attempt(configuration, [](const Picture&) { return false; });
        EXPECT_EQ(outcome->error, error) << mode << "\n" << server.log();
        EXPECT_EQ(outcome->info.has_value(), mode == "bad_tag") << mode;
    }
}

// Connecting to a Bonjour service: resolution through a real avahi-daemon (confined to a network
// namespace by scripts/with-avahi-namespace.sh), then the session with the Xvnc behind the
// service; and the same without any daemon. Run by hand without that script, these skip.
const std::string daemon =
    std::getenv("TESSARAL_AVAHI_DAEMON") ? std::getenv("TESSARAL_AVAHI_DAEMON") : "";
const auto anyFrame = [](const Picture&) { return true; };
const char* const nobody = "Nobody By This Name";

RFBConfiguration bonjour(const std::string& name, std::chrono::seconds timeout = 15s) {
    return configurationFor(RFBEndpoint::bonjour(name), timeout);
}

// Resolves with an eventfd standing in for a connection's cancellation descriptor.
struct Resolution {
    const int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Resolution() { ::close(cancel); }
    std::optional<ResolvedService> found;
    std::optional<RFBError> error;
    bool cancelled = false;

    Resolution(const std::string& name, std::chrono::milliseconds budget,
               std::chrono::milliseconds cancelAfter = 0ms) {
        std::jthread canceller([&] {
            std::this_thread::sleep_for(cancelAfter);
            ::eventfd_write(cancel, cancelAfter > 0ms ? 1 : 0);  // 0: no wake-up
        });
        try {
            found =
                resolveBonjourService(name, "_rfb._tcp", "local.", Clock::now() + budget, cancel);
        } catch (const RFBError& e) {
            error = e;
        } catch (const Cancelled&) {
            cancelled = true;
        }
    }
};

// One Xvnc, advertised under a host name of its own that resolves to the loopback address.
class BonjourConnectTest : public testing::Test {
  protected:
    static constexpr const char* hostName = "tessaral-xvnc.local";
    static constexpr const char* serviceName = "Tessaral Xvnc";

    static void SetUpTestSuite() {
        if (daemon == "running" && std::getenv("TESSARAL_AVAHI_NAMESPACE")) {
            server = std::make_unique<RealServer>(ServerOptions{.desktopName = "Bonjour desktop"});
            // Stopped before the server, which withdraws the records.
            server->startX({"avahi-publish", "--address", "--no-reverse", hostName, "127.0.0.1"},
                           "address.log");
            server->startX({"avahi-publish", "--service", "--host", hostName, serviceName,
                            "_rfb._tcp", std::to_string(server->port())},
                           "service.log");
        }
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        if (!server) {
            GTEST_SKIP() << "needs an avahi-daemon of its own: run under "
                            "scripts/with-avahi-namespace.sh";
        }
    }

    static inline std::unique_ptr<RealServer> server;
};

TEST_F(BonjourConnectTest, SessionReachesTheServerBehindThePublishedService) {
    // Probing a new name takes the daemon a moment; until then resolution fails.
    std::optional<ResolvedService> resolved;
    waitUntil([&] { return (resolved = Resolution(serviceName, 2s).found).has_value(); }, 20s);
    EXPECT_EQ(resolved, (ResolvedService{"127.0.0.1", std::uint16_t(server->port()), hostName}))
        << server->log();

    const auto outcome = attempt(bonjour(serviceName), anyFrame);
    ASSERT_TRUE(outcome->info.has_value()) << outcome->endReason();
    EXPECT_EQ(outcome->info->name, "Bonjour desktop");
    EXPECT_TRUE(outcome->frame().has_value());
    EXPECT_EQ(outcome->endReason(), "no error");
}

TEST_F(BonjourConnectTest, AMissingServiceCostsNoMoreThanTheConnectTimeOut) {
    // The daemon's resolver gives up after several seconds; a shorter time-out ends it first.
    auto start = Clock::now();
    EXPECT_EQ(attempt(bonjour(nobody, 2s), anyFrame)->error, RFBError::timedOut());
    EXPECT_GE(Clock::now() - start, 1900ms);
    EXPECT_LT(Clock::now() - start, 3500ms);

    // Given longer, the daemon's own verdict arrives, in its words.
    start = Clock::now();
    EXPECT_EQ(Resolution(nobody, 15s).error, RFBError::connectionFailed("Timeout reached"));
    EXPECT_LT(Clock::now() - start, 12s);
}

TEST_F(BonjourConnectTest, CancellationEndsAResolutionAtOnce) {
    auto start = Clock::now();
    EXPECT_TRUE(Resolution(nobody, 10s, 300ms).cancelled);
    EXPECT_GE(Clock::now() - start, 250ms);
    EXPECT_LT(Clock::now() - start, 1500ms);

    // A session stopped while resolving ends without an error, promptly.
    Viewer viewer(bonjour(nobody));
    std::this_thread::sleep_for(300ms);
    start = Clock::now();
    EXPECT_EQ(viewer.finish(), "no error");
    EXPECT_LT(Clock::now() - start, 1500ms);
}

// No avahi-daemon: the namespace's own system bus without one, or no system bus at all.
TEST(BonjourNoDaemonTest, ConnectingFailsAtOnceWithAvahisText) {
    if (daemon != "none") {
        GTEST_SKIP() << "needs TESSARAL_AVAHI_DAEMON=none and no avahi-daemon";
    }
    EXPECT_EQ(Resolution("Office Mac", 10s).error,
              RFBError::connectionFailed("Daemon not running"));
    const auto start = Clock::now();
    EXPECT_EQ(attempt(bonjour("Office Mac"), anyFrame, 10s)->error,
              RFBError::connectionFailed("Daemon not running"));
    EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
