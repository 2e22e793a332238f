// Many clients at once against one Xvnc whose screen keeps changing: they all decode, all show
// the final screen exactly, all end cleanly when stopped, and the process gets back every thread
// and descriptor they used.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultProxy.hpp"
#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int clientCount = 50;

// One client and what it has reported.
struct Watched {
    std::unique_ptr<RFBClient> client;
    bool connected = false;
    int disconnects = 0;
    bool eventAfterEnd = false;
    std::optional<RFBError> error;
    std::optional<RFBImage> frame;
    // Holding the compared frame keeps its words alive, so no new frame can reuse them.
    std::optional<RFBImage> compared;
    bool same = false;

    // Compares each new frame once.
    bool shows(const Picture& picture) {
        if (frame && (!compared || frame->words() != compared->words())) {
            compared = frame;
            same = pictureOf(*frame) == picture;
        }
        return frame && same;
    }

    void pump() {
        while (auto event = client->events().tryNext()) {
            eventAfterEnd = eventAfterEnd || disconnects > 0;
            if (std::holds_alternative<event::Connected>(*event)) {
                connected = true;
            } else if (auto* disconnected = std::get_if<event::Disconnected>(&*event)) {
                ++disconnects;
                error = disconnected->error;
            } else if (std::holds_alternative<event::FrameAvailable>(*event)) {
                frame = client->takeFrame();
            }
        }
    }
};

// Pumps every client until `done` holds for all of them or the time-out passes.
bool pumpAll(std::vector<Watched>& clients, const std::function<bool(Watched&)>& done,
             std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        bool all = true;
        for (Watched& watched : clients) {
            watched.pump();
            all = all && done(watched);
        }
        if (all) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// A variant of a picture with every channel inverted: a change to every pixel of its area.
Picture inverted(Picture picture) {
    for (std::uint32_t& word : picture.words) {
        word = 0xFF000000u | (~word & 0x00FFFFFFu);
    }
    return picture;
}

TEST(XvncLoad, FiftyClientsDecodeTogetherAndAllEndCleanly) {
    ServerOptions options;
    options.width = 320;
    options.height = 240;
    // Xvnc counts connections still in their handshake as failed attempts: fifty at once would
    // get the loopback address refused for "too many security failures".
    options.arguments = {"-UseBlacklist=0"};
    RealServer server(options);
    server.showPattern(140, 90, 8, 8);

    // ImageMagick's animate flips its window between the two pictures every 40 ms, for ever.
    Picture first = testPattern(96, 64);
    Picture second = inverted(first);
    writePPM(server.directory().file("first.ppm"), first);
    writePPM(server.directory().file("second.ppm"), second);
    Process& animation =
        server.startX({"animate", "-borderwidth", "0", "-delay", "4", "-geometry", "+180+140",
                       server.directory().file("first.ppm"), server.directory().file("second.ppm")},
                      "animate.log");
    server.waitForScreen([&](const Picture& screen) {
        return contains(screen, first, 180, 140) || contains(screen, second, 180, 140);
    });

    ProcessResources baseline = ProcessResources::now();
    const std::vector<std::vector<std::int32_t>> encodings = {
        RFBClient::encodings(true),
        {RFBEncoding::hextile, RFBEncoding::cursor},
        {RFBEncoding::rre, RFBEncoding::cursor},
        {RFBEncoding::raw, RFBEncoding::cursor},
    };
    std::vector<Watched> clients(clientCount);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        RFBConfiguration configuration;
        configuration.endpoint = server.endpoint();
        clients[i].client = std::make_unique<RFBClient>(configuration);
        RFBClientTesting::setEncodings(*clients[i].client, encodings[i % encodings.size()]);
    }
    // In waves that fit Xvnc's listen backlog of 5. Beyond it the kernel answers with SYN
    // cookies and then drops the final ACK: the client's connection is established while the
    // server has never heard of it, and no version string ever comes.
    constexpr std::size_t wave = 4;
    auto started = Clock::now();
    for (std::size_t from = 0; from < clients.size(); from += wave) {
        auto end = std::min(from + wave, clients.size());
        for (std::size_t i = from; i < end; ++i) {
            clients[i].client->start();
        }
        ASSERT_TRUE(waitUntil(
            [&] {
                bool all = true;
                for (std::size_t i = from; i < end; ++i) {
                    clients[i].pump();
                    all = all && (clients[i].connected || clients[i].disconnects > 0);
                }
                return all;
            },
            30s))
            << "clients " << from << "..." << end - 1 << " did not connect";
    }

    // A while of decoding the animation, all at once.
    constexpr std::uint64_t updatesEach = 20;
    auto decodingEnds = Clock::now() + 3s;
    long peakThreads = 0;
    bool decoded = pumpAll(
        clients,
        [&](Watched& watched) {
            if (&watched == &clients.front()) {
                peakThreads = std::max(peakThreads, ProcessResources::now().threads);
            }
            return watched.disconnects > 0 || (Clock::now() >= decodingEnds &&
                                               watched.client->statistics().updates >= updatesEach);
        },
        60s);
    auto decoding = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_TRUE(decoded) << "not every client got " << updatesEach << " updates";
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_TRUE(clients[i].connected) << "client " << i;
        EXPECT_EQ(clients[i].disconnects, 0)
            << "client " << i << ": " << describe(clients[i].error);
    }
    // Shows that the counts see the clients' threads at all.
    EXPECT_GE(peakThreads, baseline.threads + clientCount);

    // Once the screen stands still, every client shows it exactly.
    animation.stop();
    Picture still = server.waitForStableScreen();
    bool shown = pumpAll(
        clients, [&](Watched& watched) { return watched.disconnects > 0 || watched.shows(still); },
        60s);
    EXPECT_TRUE(shown);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        if (clients[i].frame) {
            EXPECT_EQ(difference(pictureOf(*clients[i].frame), still), "") << "client " << i;
        } else {
            ADD_FAILURE() << "client " << i << " has no frame";
        }
    }

    std::uint64_t updates = 0;
    for (Watched& watched : clients) {
        updates += watched.client->statistics().updates;
        watched.client->stop();
    }
    EXPECT_TRUE(pumpAll(
        clients, [](Watched& watched) { return watched.disconnects > 0; }, 30s));
    std::this_thread::sleep_for(50ms);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        clients[i].pump();
        EXPECT_EQ(clients[i].disconnects, 1) << "client " << i;
        EXPECT_FALSE(clients[i].eventAfterEnd) << "client " << i;
        EXPECT_FALSE(clients[i].error.has_value())
            << "client " << i << ": " << describe(clients[i].error);
    }
    std::cout << "[          ] " << clientCount << " clients decoded " << updates
              << " updates, at least " << updatesEach << " each in " << decoding.count() << " ms\n";

    clients.clear();
    ProcessResources after = waitForResources(baseline, 20s);
    EXPECT_EQ(after.describe(), baseline.describe()) << "left behind by stopped clients";
}

}  // namespace
