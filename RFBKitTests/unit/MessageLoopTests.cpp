#include <gtest/gtest.h>

#include "FakeServer.hpp"
#include "Log.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

Bytes rawUpdate(std::uint16_t width, std::uint16_t height, std::uint8_t blue) {
    Bytes update = Bytes{0, 0} + u16(1) + u16(0) + u16(0) + u16(width) + u16(height) + s32(0);
    for (int i = 0; i < width * height; ++i) {
        update = update + Bytes{blue, 0, 0, 0};
    }
    return update;
}

Bytes emptyUpdate() {
    return Bytes{0, 0} + u16(0);
}

struct Request {
    bool incremental;
    std::uint16_t width;
    std::uint16_t height;
};

Request parseRequest(const Bytes& b) {
    EXPECT_EQ(b[0], 3);
    return {b[1] == 1, std::uint16_t(b[6] << 8 | b[7]), std::uint16_t(b[8] << 8 | b[9])};
}

// A client connected to a fake server whose script continues after the session start.
struct Session {
    explicit Session(std::function<void(Peer&)> afterStart, std::uint16_t width = 4,
                     std::uint16_t height = 4)
        : server([=](Peer& peer) {
              acceptWithoutSecurity(peer, width, height);
              readSessionStart(peer);
              afterStart(peer);
          }),
          client(configurationFor(server.endpoint())) {
        client.start();
        connected = waitFor<event::Connected>(client).has_value();
    }
    ~Session() {
        client.stop();
        drainEvents(client);
        server.join();
    }
    FakeServer server;
    RFBClient client;
    bool connected = false;
};

}  // namespace

TEST(MessageLoop, OneFrameAvailablePerBatchAndNewestFrameWins) {
    std::atomic<bool> fourth{false};
    Session session([&](Peer& peer) {
        for (std::uint8_t blue = 1; blue <= 3; ++blue) {
            peer.write(rawUpdate(4, 4, blue));
            peer.read(10);
        }
        while (!fourth) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        peer.write(rawUpdate(4, 4, 4));
        peer.read(10);
        peer.waitForClose();
    });
    ASSERT_TRUE(session.connected);
    auto& client = session.client;
    ASSERT_TRUE(waitFor<event::FrameAvailable>(client));  // the initial black frame
    // Let all three updates land without taking a frame.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (client.statistics().updates < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(client.events().tryNext()) << "frameAvailable while one was outstanding";
    auto frame = client.takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixel(0, 0), 0xFF000003u);
    EXPECT_EQ(client.takeFrame()->words(), frame->words()) << "a second take returns the same";
    fourth = true;
    ASSERT_TRUE(waitFor<event::FrameAvailable>(client));
    EXPECT_EQ(client.takeFrame()->pixel(3, 3), 0xFF000004u);
}

TEST(MessageLoop, QualityAndFullUpdateRequestsApplyAtTheNextUpdate) {
    std::vector<Bytes> afterUpdate;
    std::atomic<int> step{0};
    auto advance = [&](int to) {
        step = to;
        while (step == to) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    Session session([&](Peer& peer) {
        for (int round = 0; round < 5; ++round) {
            while (step != round + 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            peer.write(emptyUpdate());
            Bytes first = peer.read(10);
            if (first[0] == 0) {  // SetPixelFormat (20 bytes) comes first, then the request
                first = first + peer.read(20);
            }
            afterUpdate.push_back(first);
            step = 0;
        }
        peer.waitForClose();
    });
    ASSERT_TRUE(session.connected);
    auto& client = session.client;

    client.setQuality(RFBQuality::full);  // already in use
    advance(1);
    client.setQuality(RFBQuality::low);
    client.setQuality(RFBQuality::thousands);  // replaces the earlier request
    advance(2);
    advance(3);
    client.requestFullUpdate();
    advance(4);
    advance(5);

    ASSERT_EQ(afterUpdate.size(), 5u);
    EXPECT_TRUE(parseRequest(afterUpdate[0]).incremental);
    ASSERT_EQ(afterUpdate[1].size(), 30u);
    auto thousands = PixelFormat::rgb565.encoded();
    EXPECT_EQ(Bytes(afterUpdate[1].begin(), afterUpdate[1].begin() + 20),
              Bytes({0, 0, 0, 0}) + Bytes(thousands.begin(), thousands.end()));
    EXPECT_FALSE(
        parseRequest(Bytes(afterUpdate[1].begin() + 20, afterUpdate[1].end())).incremental);
    EXPECT_TRUE(parseRequest(afterUpdate[2]).incremental);
    EXPECT_FALSE(parseRequest(afterUpdate[3]).incremental);
    EXPECT_TRUE(parseRequest(afterUpdate[4]).incremental);
}

TEST(MessageLoop, DesktopSizeMakesTheNextRequestFullAndMovesThePointerBounds) {
    Bytes request, pointer;
    std::atomic<bool> resized{false};
    Session session(
        [&](Peer& peer) {
            peer.write(Bytes{0, 0} + u16(1) + u16(0) + u16(0) + u16(1920) + u16(1080) + s32(-223));
            request = peer.read(10);
            resized = true;
            pointer = peer.read(6);
            peer.waitForClose();
        },
        1280, 800);
    ASSERT_TRUE(session.connected);
    while (!resized) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    session.client.sendPointer(-10, 5000, 1);
    session.server.join();
    Request r = parseRequest(request);
    EXPECT_FALSE(r.incremental);
    EXPECT_EQ(r.width, 1920);
    EXPECT_EQ(r.height, 1080);
    EXPECT_EQ(pointer, Bytes({5, 1}) + u16(0) + u16(1079));
}

// A server may send its screen over several updates (x0vncserver's first holds only the cursor),
// and rectangles may overlap: only a screen whose every pixel was painted counts as complete.
TEST(MessageLoop, UpdatesCountAsCompleteOnceEveryPixelWasPainted) {
    auto raw = [](std::uint16_t x, std::uint16_t y, std::uint16_t width, std::uint16_t height) {
        return u16(x) + u16(y) + u16(width) + u16(height) + s32(0) +
               Bytes(std::size_t(width) * height * 4, 0x20);
    };
    auto update = [](std::vector<Bytes> rectangles) {
        Bytes bytes = Bytes{0, 0} + u16(std::uint16_t(rectangles.size()));
        for (const Bytes& rectangle : rectangles) {
            bytes = bytes + rectangle;
        }
        return bytes;
    };
    const Bytes cursorOnly = u16(0) + u16(0) + u16(0) + u16(0) + s32(-239);
    const Bytes lastRect = u16(0) + u16(0) + u16(0) + u16(0) + s32(-224);
    const Bytes resize = u16(0) + u16(0) + u16(4) + u16(4) + s32(-223);
    const std::vector<std::pair<Bytes, std::uint64_t>> steps = {
        {update({cursorOnly, lastRect}), 0},
        {update({raw(0, 0, 4, 2)}), 0},
        // Eight pixels twice, as many as the screen lacks, but half of them again.
        {update({raw(0, 0, 4, 2), raw(0, 1, 4, 2)}), 0},
        {update({raw(1, 3, 3, 1), raw(0, 3, 1, 1)}), 1},
        {update({}), 2},
        {update({resize, raw(0, 0, 4, 4)}), 1},
        {update({resize}), 0},
        {update({raw(0, 0, 4, 4)}), 1},
    };
    std::atomic<std::size_t> step{0};
    Session session([&](Peer& peer) {
        for (std::size_t i = 1; i <= steps.size(); ++i) {
            while (step != i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            peer.write(steps[i - 1].first);
            peer.read(10);
            step = 0;
        }
        peer.waitForClose();
    });
    ASSERT_TRUE(session.connected);
    for (std::size_t i = 1; i <= steps.size(); ++i) {
        step = i;
        while (step != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_EQ(session.client.statistics().completeUpdates, steps[i - 1].second) << i;
    }
}

TEST(MessageLoop, ClipboardBellAndColourMap) {
    std::string big(10'485'760, 'x');
    Session session([&](Peer& peer) {
        peer.write(Bytes{1, 0} + u16(0) + u16(2) + Bytes(12, 0xAB));  // colour map: ignored
        peer.write(Bytes{2});
        peer.write(Bytes{3, 0, 0, 0} + u32(4) + Bytes{'c', 'a', 'f', 0xE9});
        peer.write(Bytes{3, 0, 0, 0} + u32(std::uint32_t(big.size())) + text(big));
        peer.waitForClose();
    });
    ASSERT_TRUE(session.connected);
    EXPECT_TRUE(waitFor<event::Bell>(session.client));
    auto small = waitFor<event::Clipboard>(session.client);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->text, "caf\u00E9");
    auto largest = waitFor<event::Clipboard>(session.client);
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->text.size(), big.size());
}

TEST(MessageLoop, MalformedMessagesEndTheSession) {
    struct Case {
        Bytes message;
        std::string violation;
    };
    for (const Case& c :
         {Case{Bytes{4}, "message type 4"},
          Case{Bytes{3, 0, 0, 0} + u32(10'485'761), "clipboard length 10485761"},
          Case{Bytes{0, 0} + u16(1) + u16(0) + u16(0) + u16(1) + u16(1) + s32(7), "encoding 7"}}) {
        LogCapture log;
        FakeServer server([&](Peer& peer) {
            acceptWithoutSecurity(peer);
            readSessionStart(peer);
            peer.write(c.message);
            peer.waitForClose();
        });
        RFBClient client(configurationFor(server.endpoint()));
        client.start();
        auto events = drainEvents(client);
        server.join();
        auto expected = RFBError::protocolViolation(c.violation);
        EXPECT_EQ(finalError(events), expected);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].first, LogLevel::error);
        EXPECT_EQ(lines[0].second, "Disconnected: " + expected.errorDescription());
    }
}

TEST(MessageLoop, ServerClosingMidUpdateIsLoggedAndReported) {
    LogCapture log;
    FakeServer server([&](Peer& peer) {
        acceptWithoutSecurity(peer);
        readSessionStart(peer);
        Bytes update = rawUpdate(4, 4, 9);
        update.resize(update.size() / 2);
        peer.write(update);
        peer.close();
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    auto events = drainEvents(client);
    server.join();
    EXPECT_EQ(finalError(events), RFBError::connectionClosed());
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].second, "Disconnected: The remote computer closed the connection.");
    // The broken update published nothing: the only frame is the initial black one.
    EXPECT_EQ(client.takeFrame()->pixel(0, 0), 0xFF000000u);
}

TEST(MessageLoop, InputMessagesReachTheServerInOrder) {
    Bytes received;
    Session session([&](Peer& peer) { received = peer.read(8 + 6 + 8 + 3); });
    ASSERT_TRUE(session.connected);
    session.client.sendKey(0xFF0D, true);
    session.client.sendPointer(2, 3, 4);
    session.client.sendClipboard("a\u00E9\u20AC");
    session.server.join();
    Bytes expected = Bytes({4, 1, 0, 0}) + u32(0xFF0D) + Bytes({5, 4}) + u16(2) + u16(3) +
                     Bytes({6, 0, 0, 0}) + u32(3) + Bytes({'a', 0xE9, '?'});
    EXPECT_EQ(received, expected);
}
