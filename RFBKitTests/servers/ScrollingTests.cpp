// A busy screen against Xvnc: a terminal scrolling hundreds of lines and windows moved about over
// it. Xvnc sends much of that as CopyRect, whose source is whatever the client built so far, so
// any pixel it got wrong earlier is copied on: the frame must still equal the server's screen
// exactly once it has settled, in every quality, and so must a copy repainted only where each
// frame's damage says.

#include <gtest/gtest.h>

#include <filesystem>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

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
    const auto deadline = std::chrono::steady_clock::now() + 45s;
    for (std::size_t move = 0;
         !std::filesystem::exists(done) && std::chrono::steady_clock::now() < deadline; ++move) {
        const auto* place = places[move % std::size(places)];
        server.x({"xdotool", "windowmove", picture, place[0], place[1], "windowmove", note,
                  place[2], place[3]});
        for (auto& viewer : viewers) {
            viewer->pump();
        }
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

}  // namespace
