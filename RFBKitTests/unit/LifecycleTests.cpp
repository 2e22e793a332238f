#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>

#include "FakeServer.hpp"
#include "ProcessResources.hpp"
#include "RFBEventStream.hpp"

using namespace rfb;
using namespace rfbtest;
using namespace std::chrono_literals;

namespace {

// A loopback listener whose accept queue is full, so that new connects are never answered.
struct Unanswered {
    Unanswered() {
        for (int& fd : fillers) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a = loopback(server.port());
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(50ms);
    }
    ~Unanswered() { std::ranges::for_each(fillers, ::close); }
    FakeServer server{nullptr, 0};
    int fillers[3];
};

}  // namespace

// How connecting ends, and when: a time-out of a second or more is waited out, a shorter one
// fires at once; where the resolver's wording varies only the kind of error is compared. A server
// that stalls the handshake is the Xvnc stall run's.
TEST(Lifecycle, ConnectFailures) {
    LogCapture log;
    const std::uint16_t refusedPort = FakeServer(nullptr).port();
    Unanswered unanswered;
    using E = RFBError;
    const struct {
        RFBEndpoint endpoint;
        std::chrono::milliseconds timeout;
        RFBError expected;
        std::chrono::milliseconds within = 5s;
    } cases[] = {
        {RFBEndpoint::host("127.0.0.1", refusedPort), 5s,
         E::connectionFailed("Connection refused")},
        {RFBEndpoint::host("", 5900), 5s, E::invalidAddress("host(\"\", port: 5900)")},
        {RFBEndpoint::host("no-such-host.invalid", 5900), 5s, E::connectionFailed("")},
        {RFBEndpoint::bonjour("Office"), 5s, E::connectionFailed("")},
        {RFBEndpoint::host("127.0.0.1", 1), 500ms, E::timedOut(), 1s},
        {unanswered.server.endpoint(), 1s, E::timedOut()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.errorDescription());
        auto started = Clock::now();
        std::optional<RFBError> error = errorOfRun(configurationFor(c.endpoint, c.timeout));
        auto elapsed = Clock::now() - started;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), c.expected.kind());
        if (!c.expected.text().empty()) {
            EXPECT_EQ(*error, c.expected);
        }
        EXPECT_LT(elapsed, c.within);
        if (c.timeout >= 1s && c.expected == E::timedOut()) {
            EXPECT_GE(elapsed, c.timeout * 9 / 10);
        }
    }
}

TEST(Lifecycle, StopAndDestroyEndCleanlyInEveryPhaseWithoutLogging) {
    LogCapture log;
    const ProcessResources baseline = ProcessResources::now();
    {
        Unanswered target;  // stop while the connect is pending
        RFBClient client(configurationFor(target.server.endpoint()));
        client.start();
        std::this_thread::sleep_for(100ms);
        auto stopped = Clock::now();
        client.stop();
        auto events = drainEvents(client, 2s);
        // Well under the 5 s connect time-out, with room for a loaded machine.
        EXPECT_LT(Clock::now() - stopped, 2s);
        EXPECT_FALSE(finalError(events));
        // Destroying clients that are still connecting never waits for their connects either.
        for (int i = 0; i < 10; ++i) {
            RFBClient connecting(configurationFor(target.server.endpoint()));
            connecting.start();
        }
        EXPECT_LT(Clock::now() - stopped, 3s);
    }
    {
        DrivenClient silent;  // stop during a receive
        ASSERT_TRUE(waitFor<event::Status>(silent.client));
        std::this_thread::sleep_for(100ms);
        silent.client.stop();
        EXPECT_FALSE(finalError(drainEvents(silent.client, 2s)));
    }
    {
        Session running;  // stop during the message loop, whose events the handshake test checks
        ASSERT_TRUE(waitFor<event::FrameAvailable>(running.client));
        running.client.stop();
        drainEvents(running.client, 2s);
    }
    EXPECT_EQ(log.lines().size(), 0u);
    // Thread and descriptor counts settle shortly after clients wind down.
    EXPECT_EQ(waitForResources(baseline, 5s).describe(), baseline.describe());
}

// The descriptor is only kept in step once asked for, so events queued before that must make it
// readable at once.
TEST(Lifecycle, EventDescriptorAskedForLateReflectsQueuedEvents) {
    RFBEventStream events;
    events.send(event::Bell{});
    events.send(event::Bell{});
    pollfd p{events.fd(), POLLIN, 0};
    const auto readable = [&] { return ::poll(&p, 1, 0) == 1; };
    EXPECT_TRUE(readable() && events.tryNext() && readable() && events.tryNext());
    EXPECT_FALSE(readable());
    events.send(event::Bell{});
    EXPECT_TRUE(readable());
}

TEST(Lifecycle, InputBeforeServerInitIsDropped) {
    DrivenClient run;
    run.peer->write(text("RFB 003.008\n"));
    run.peer->read(12);
    auto& client = run.client;
    ASSERT_TRUE(waitFor<event::Status>(client));  // connecting
    ASSERT_TRUE(waitFor<event::Status>(client));  // authenticating: the version was answered
    client.sendKey(0x61, true);
    client.sendClipboard("a");
    client.sendPointer(1, 1, 0);
    EXPECT_THROW(run.peer->read(1, 300ms), std::runtime_error) << "input arrived";
    EXPECT_FALSE(client.takeFrame());
}
