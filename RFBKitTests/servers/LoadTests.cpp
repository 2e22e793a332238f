// Fifty clients at once against one Xvnc whose screen keeps changing: they all decode, all show
// the final screen exactly, all end cleanly when stopped, and the process gets back every thread
// and descriptor they used.

#include <gtest/gtest.h>

#include <iostream>

#include "ProcessResources.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

// Pumps every viewer until `done` holds for all of them or the time-out passes.
bool pumpAll(std::vector<std::unique_ptr<Viewer>>& viewers,
             const std::function<bool(Viewer&)>& done, std::chrono::milliseconds timeout) {
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

TEST(XvncLoad, FiftyClientsDecodeTogetherAndAllEndCleanly) {
    RealServer server({.width = 320, .height = 240});
    server.showPattern(140, 90, 8, 8);
    // ImageMagick's animate flips between a picture and its inverse every 40 ms, for ever.
    Picture first = testPattern(96, 64), second = first;
    for (std::uint32_t& word : second.words) {
        word ^= 0x00FFFFFF;
    }
    writePPM(server.directory().file("1.ppm"), first);
    writePPM(server.directory().file("2.ppm"), second);
    Process& animation =
        server.startX({"animate", "-borderwidth", "0", "-delay", "4", "-geometry", "+180+140",
                       server.directory().file("1.ppm"), server.directory().file("2.ppm")},
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
    std::cout << "[          ] 50 clients decoded " << updates << " updates in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(decoding).count() << " ms\n";

    viewers.clear();
    EXPECT_EQ(waitForResources(baseline, 20s).describe(), baseline.describe())
        << "left behind by stopped clients";
}

}  // namespace
