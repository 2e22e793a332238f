#include <gtest/gtest.h>
#include <poll.h>

#include "FakeServer.hpp"
#include "ProcessResources.hpp"
#include "RFBEventStream.hpp"

using namespace rfb;
using namespace rfbtest;
using namespace std::chrono_literals;

namespace {

// A loopback listener whose accept queue is full, so that new connects are never answered.
struct Unanswered {
    Unanswered() : server(nullptr, 0) {
        for (int& fd : fillers) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(server.port());
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~Unanswered() {
        for (int fd : fillers) {
            ::close(fd);
        }
    }
    FakeServer server;
    int fillers[3];
};

std::optional<RFBError> connectTo(RFBEndpoint endpoint, std::chrono::duration<double> timeout) {
    RFBConfiguration configuration = configurationFor(endpoint);
    configuration.connectTimeout = timeout;
    RFBClient client(configuration);
    client.start();
    return finalError(drainEvents(client));
}

}  // namespace

TEST(Lifecycle, ConnectFailures) {
    LogCapture log;
    std::uint16_t refusedPort;
    {
        FakeServer closed(nullptr);
        refusedPort = closed.port();
    }
    auto refused = connectTo(RFBEndpoint::host("127.0.0.1", refusedPort), 5s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, RFBError::connectionFailed("Connection refused"));

    EXPECT_EQ(connectTo(RFBEndpoint::host("", 5900), 5s),
              RFBError::invalidAddress("host(\"\", port: 5900)"));
    EXPECT_EQ(RFBError::invalidAddress("host(\"\", port: 5900)").errorDescription(),
              "\u201Chost(\"\", port: 5900)\u201D isn\u2019t a valid computer address.");

    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(connectTo(RFBEndpoint::host("127.0.0.1", 1), 0.5s), RFBError::timedOut());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s)
        << "a sub-second time-out fires at once";

    auto unresolvable = connectTo(RFBEndpoint::host("no-such-host.invalid", 5900), 5s);
    ASSERT_TRUE(unresolvable);
    EXPECT_EQ(unresolvable->kind(), RFBError::Kind::connectionFailed);

    auto bonjour = connectTo(RFBEndpoint::bonjour("Office"), 5s);
    ASSERT_TRUE(bonjour);
    EXPECT_EQ(bonjour->kind(), RFBError::Kind::connectionFailed);
}

TEST(Lifecycle, UnansweredConnectTimesOut) {
    LogCapture log;
    Unanswered target;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(connectTo(target.server.endpoint(), 1s), RFBError::timedOut());
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(Lifecycle, ServerThatAcceptsButNeverFinishesTheHandshakeTimesOut) {
    LogCapture log;
    FakeServer silent([](Peer& peer) {
        peer.write(text("RFB 003.008\n"));
        peer.waitForClose();
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(connectTo(silent.endpoint(), 1s), RFBError::timedOut());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

TEST(Lifecycle, StopEndsCleanlyInEveryPhaseWithoutLogging) {
    LogCapture log;
    const ProcessResources baseline = ProcessResources::now();
    {
        Unanswered target;  // stop while the connect is pending
        RFBClient client(configurationFor(target.server.endpoint()));
        client.start();
        std::this_thread::sleep_for(100ms);
        auto stopped = std::chrono::steady_clock::now();
        client.stop();
        auto events = drainEvents(client, 2s);
        // Well under the 5 s connect time-out, with room for a loaded machine.
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, 2s);
        EXPECT_FALSE(finalError(events));
    }
    {
        FakeServer silent([](Peer& peer) { peer.waitForClose(); });  // stop during a receive
        RFBClient client(configurationFor(silent.endpoint()));
        client.start();
        ASSERT_TRUE(waitFor<event::Status>(client));
        std::this_thread::sleep_for(100ms);
        client.stop();
        EXPECT_FALSE(finalError(drainEvents(client, 2s)));
    }
    {
        FakeServer running([](Peer& peer) {  // stop during the message loop
            acceptWithoutSecurity(peer);
            readSessionStart(peer);
            peer.waitForClose();
        });
        RFBClient client(configurationFor(running.endpoint()));
        client.start();
        ASSERT_TRUE(waitFor<event::FrameAvailable>(client));
        client.stop();
        auto events = drainEvents(client, 2s);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_FALSE(finalError(events));
        EXPECT_TRUE(client.events().ended());
        EXPECT_FALSE(client.events().next(10ms)) << "nothing follows disconnected";
    }
    EXPECT_EQ(log.lines().size(), 0u);
    // Thread and descriptor counts settle shortly after clients wind down.
    EXPECT_EQ(waitForResources(baseline, 5s).describe(), baseline.describe());
}

TEST(Lifecycle, DestroyingAConnectingClientNeverBlocks) {
    LogCapture log;
    const ProcessResources baseline = ProcessResources::now();
    {
        Unanswered target;
        auto started = std::chrono::steady_clock::now();
        for (int i = 0; i < 10; ++i) {
            RFBClient client(configurationFor(target.server.endpoint()));
            client.start();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
    }
    // Thread and descriptor counts settle shortly after clients wind down.
    EXPECT_EQ(waitForResources(baseline, 5s).describe(), baseline.describe());
}

TEST(Lifecycle, EventDescriptorIsReadableExactlyWhileEventsAreQueued) {
    FakeServer server([](Peer& peer) { peer.waitForClose(); });
    RFBClient client(configurationFor(server.endpoint()));
    auto readable = [&] {
        pollfd p{client.events().fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    client.start();
    pollfd p{client.events().fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(client.events().tryNext());
    EXPECT_FALSE(readable());
    client.stop();
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_TRUE(std::holds_alternative<event::Disconnected>(*client.events().tryNext()));
    EXPECT_FALSE(readable());
}

// The descriptor is only kept in step once asked for, so events queued before that must make it
// readable at once.
TEST(Lifecycle, EventDescriptorAskedForLateReflectsQueuedEvents) {
    RFBEventStream events;
    events.send(event::Bell{});
    events.send(event::Bell{});
    pollfd p{events.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_TRUE(events.tryNext());
    EXPECT_EQ(::poll(&p, 1, 0), 1);
    EXPECT_TRUE(events.tryNext());
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    events.send(event::Bell{});
    EXPECT_EQ(::poll(&p, 1, 0), 1);
}

TEST(Lifecycle, StartTwiceRunsOnce) {
    FakeServer server([](Peer& peer) {
        acceptWithoutSecurity(peer);
        readSessionStart(peer);
        peer.close();
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    client.start();
    auto events = drainEvents(client);
    server.join();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const RFBEvent& e) {
                                return std::holds_alternative<event::Status>(e) &&
                                       std::get<event::Status>(e).status == RFBStatus::connecting;
                            }),
              1);
}

TEST(Lifecycle, InputBeforeServerInitIsDropped) {
    bool nothingBeyondTheVersion = false;
    std::atomic<bool> inputSent{false};
    FakeServer server([&](Peer& peer) {
        peer.write(text("RFB 003.008\n"));
        peer.read(12);
        while (!inputSent) {
            std::this_thread::sleep_for(1ms);
        }
        try {
            peer.read(1, 300ms);
        } catch (const std::runtime_error&) {
            nothingBeyondTheVersion = true;  // timed out: no input arrived
        }
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    ASSERT_TRUE(waitFor<event::Status>(client));  // connecting
    ASSERT_TRUE(waitFor<event::Status>(client));  // authenticating: the version was answered
    client.sendKey(0x61, true);
    client.sendClipboard("a");
    client.sendPointer(1, 1, 0);
    inputSent = true;
    server.join();
    EXPECT_TRUE(nothingBeyondTheVersion);
    EXPECT_FALSE(client.takeFrame());
}
