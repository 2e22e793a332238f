// A busy screen against Xvnc: a terminal scrolling hundreds of lines and windows moved about over
// it. Xvnc sends much of that as CopyRect, whose source is whatever the client built so far, so
// any pixel the client got wrong earlier is copied on and stays wrong: the frame must still equal
// the server's screen exactly once it has settled, in every quality. A viewer that repaints only
// the damage handed out with each frame must end up with the same picture.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int screenWidth = 560;
constexpr int screenHeight = 360;

// A client that takes each frame as soon as it is announced, as the viewer does, and keeps a
// picture of its own that it repaints only where the frame says it changed.
struct Watcher {
    RFBQuality quality;
    RFBClient client;
    std::optional<RFBImage> frame;
    std::vector<std::uint32_t> repainted;
    std::optional<event::Disconnected> ended;

    Watcher(const RealServer& server, RFBQuality q) : quality(q), client(configuration(server, q)) {
        client.start();
    }
    ~Watcher() { client.stop(); }

    static RFBConfiguration configuration(const RealServer& server, RFBQuality quality) {
        RFBConfiguration configuration;
        configuration.endpoint = server.endpoint();
        configuration.quality = quality;
        configuration.connectTimeout = std::chrono::seconds(15);
        return configuration;
    }

    void pump() {
        while (auto event = client.events().tryNext()) {
            if (std::holds_alternative<event::FrameAvailable>(*event)) {
                if (auto taken = client.takeFrameWithDamage()) {
                    repaint(*taken);
                    frame = taken->image;
                }
            } else if (auto* disconnected = std::get_if<event::Disconnected>(&*event)) {
                ended = *disconnected;
            }
        }
    }

    void repaint(const RFBFrame& taken) {
        const RFBImage& image = taken.image;
        repainted.resize(std::size_t(image.width()) * image.height());
        for (const RFBRect& area : taken.damage) {
            for (int y = area.y; y < area.y + area.height; ++y) {
                const std::size_t start = std::size_t(y) * image.width() + area.x;
                std::copy_n(image.words() + start, area.width, repainted.begin() + start);
            }
        }
    }

    bool repaintedMatchesFrame() const {
        return frame && std::equal(repainted.begin(), repainted.end(), frame->words());
    }

    std::uint64_t copyRects() const {
        auto decoding = client.statistics().decoding;
        auto found = decoding.find(RFBEncoding::copyRect);
        return found == decoding.end() ? 0 : found->second.rectangles;
    }
};

std::string windowId(const RealServer& server, const std::string& title) {
    std::string found;
    waitUntil(
        [&] {
            found =
                server.x({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"}).out;
            return !found.empty();
        },
        30s);
    return found.substr(0, found.find('\n'));
}

TEST(XvncBusyScreen, FrameEqualsTheScreenAfterScrollingAndMovingWindows) {
    RealServer server(ServerOptions{.width = screenWidth, .height = screenHeight});
    server.setBackground("#336699");
    // An invisible cursor where no window ever goes, so that none of their cursors shows either.
    server.hideCursor(screenWidth - 1, screenHeight - 1);
    server.show(testPattern(120, 80), 200, 250, "picture");
    server.startX({"xmessage", "-title", "note", "-geometry", "+380+20", "Tessaral copies this"},
                  "xmessage.log");
    const std::string picture = windowId(server, "picture");
    const std::string note = windowId(server, "note");

    std::vector<std::unique_ptr<Watcher>> watchers;
    for (RFBQuality quality : allQualities) {
        watchers.push_back(std::make_unique<Watcher>(server, quality));
    }
    for (auto& watcher : watchers) {
        ASSERT_TRUE(waitUntil(
            [&] {
                watcher->pump();
                return watcher->client.statistics().updates > 0 || watcher->ended;
            },
            30s));
    }

    // Lines of differing lengths, so that each scroll changes what the copied rows show.
    const std::string done = server.directory().file("done");
    server.startX({"xterm", "-geometry", "60x18+0+0", "-e", "sh", "-c",
                   "i=0; while [ $i -lt 400 ]; do i=$((i+1)); "
                   "printf 'line %d %*s#\\n' $i $((i * 37 % 50)) ''; sleep 0.01; done; "
                   "touch " +
                       done + "; exec sleep 600"},
                  "xterm.log");
    const int places[][4] = {{200, 250, 380, 20}, {260, 230, 300, 60}, {330, 180, 120, 280},
                             {60, 200, 330, 120}, {150, 40, 20, 300},  {400, 150, 250, 10}};
    const auto deadline = Clock::now() + 45s;
    for (std::size_t move = 0; !std::filesystem::exists(done) && Clock::now() < deadline; ++move) {
        const int* place = places[move % std::size(places)];
        server.x({"xdotool", "windowmove", picture, std::to_string(place[0]),
                  std::to_string(place[1]), "windowmove", note, std::to_string(place[2]),
                  std::to_string(place[3])});
        for (auto& watcher : watchers) {
            watcher->pump();
        }
    }
    ASSERT_TRUE(std::filesystem::exists(done)) << "the terminal did not finish in time";

    const Picture screen = server.waitForStableScreen();
    auto expected = [&](const Watcher& watcher) {
        return expectedFrame(screen, watcher.quality, ServerKind::xvnc);
    };
    auto shows = [&](Watcher& watcher) {
        watcher.pump();
        return watcher.frame && pictureOf(*watcher.frame) == expected(watcher);
    };
    waitUntil(
        [&] {
            return std::all_of(watchers.begin(), watchers.end(),
                               [&](auto& w) { return shows(*w); });
        },
        10s);
    for (auto& watcher : watchers) {
        SCOPED_TRACE(std::string(rawValue(watcher->quality)));
        const auto statistics = watcher->client.statistics();
        const Picture frame = watcher->frame ? pictureOf(*watcher->frame) : Picture();
        EXPECT_EQ(difference(frame, expected(*watcher)), "")
            << "after " << statistics.updates << " updates";
        EXPECT_TRUE(watcher->repaintedMatchesFrame());
        // What makes this test worth its time: many incremental updates, copies among them.
        EXPECT_GE(statistics.updates, 200u);
        EXPECT_GT(watcher->copyRects(), 50u);
    }
}

}  // namespace
