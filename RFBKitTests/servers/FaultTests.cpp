// The client against a real Xvnc through a proxy that splits, pauses, closes and resets the
// stream at seeded places. Whatever happens, a session ends with exactly one disconnected event,
// in time, with the error the fault calls for; where no fault struck, the frame is the server's
// screen, pixel for pixel; and a link of one byte per receive changes nothing about the picture.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "Log.hpp"
#include "ProcessResources.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

struct FaultPlan {
    enum class Cut { none, close, reset } cut = Cut::none;  // close: FIN; reset: RST
    bool cutToServer = false;                               // which stream's bytes the cut counts
    std::uint64_t cutOffset = 0;
    // The server's bytes go out in sends of minPiece...maxPiece bytes (0: as they came).
    std::size_t minPiece = 1, maxPiece = 0;
    std::vector<std::pair<std::uint64_t, std::chrono::milliseconds>> pauses = {};  // by offset
    // Each piece waits until the client has received what went before, so that every piece
    // boundary is also one between two of the client's receives.
    bool paced = false;
    std::uint64_t seed = 0;

    // Every kind of fault and none at all, with cuts anywhere in a clean session's lengths.
    static FaultPlan random(std::uint64_t seed, std::uint64_t toClient, std::uint64_t toServer) {
        std::mt19937_64 random(seed);
        auto below = [&](std::uint64_t n) {
            return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random);
        };
        FaultPlan plan{.seed = seed};
        const std::uint64_t kind = below(10), where = below(8);
        plan.cut = kind < 4 ? Cut::close : kind < 8 ? Cut::reset : Cut::none;
        plan.cutToServer = where < 2;
        plan.cutOffset =
            where < 2   ? below(toServer + 1)
            : where < 4 ? below(64)  // every byte of the handshake is a state of its own
            // dense near the start of the update, where its rectangles' headers are
            : where < 6 ? std::uint64_t(std::exp(std::uniform_real_distribution<double>(
                              0, std::log(double(toClient) * 1.1 + 1))(random)))
                        : below(toClient + toClient / 10 + 1);
        const std::pair<std::size_t, std::size_t> pieces[] = {
            {1, 0}, {1, 1}, {1, 8}, {1, 200}, {500, 5000}};
        std::tie(plan.minPiece, plan.maxPiece) = pieces[below(5)];
        // One byte at a time, paced, through a whole update takes seconds: the slow link does it.
        plan.paced = plan.maxPiece > 1 && below(2) == 0;
        for (std::uint64_t count = below(3); count > 0; --count) {
            plan.pauses.emplace_back(below(toClient + 1), std::chrono::milliseconds(below(200)));
        }
        std::sort(plan.pauses.begin(), plan.pauses.end());
        return plan;
    }

    std::string describe() const {
        std::ostringstream text;
        text << "seed " << seed << ": " << std::array{"no cut", "close", "reset"}[int(cut)]
             << (cut == Cut::none ? ""
                                  : " after " + std::to_string(cutOffset) + " bytes to the " +
                                        (cutToServer ? "server" : "client"))
             << ", pieces of " << minPiece << "..." << maxPiece << (paced ? " paced" : "");
        for (auto [offset, duration] : pauses) {
            text << ", pause at " << offset << " for " << duration.count() << " ms";
        }
        return text.str();
    }
};

// Relays the first connection on its loopback port to the server, to its plan, on a thread.
// Everything the server sends is forwarded before more is read, so memory stays bounded.
class FaultProxy {
  public:
    FaultProxy(int serverPort, FaultPlan plan)
        : plan_(std::move(plan)), thread_([this, serverPort] { run(serverPort); }) {}
    ~FaultProxy() {
        stopping_ = true;
        ::eventfd_write(wake_, 1);
        thread_.join();
        std::ranges::for_each(std::array{listener_, wake_, client_, server_}, ::close);
    }

    RFBEndpoint endpoint() const { return RFBEndpoint::host("127.0.0.1", port_); }
    // Cancels the cut unless it has happened, and returns whether it had.
    bool disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
        return cutHappened_;
    }
    std::uint64_t toClient() const { return sent_[0]; }
    std::uint64_t toServer() const { return sent_[1]; }
    std::atomic<std::uint64_t> paceTimeouts{0};
    std::atomic<const RFBClient*> pacer{nullptr};  // the client a paced plan waits for

  private:
    // Waits for `events` on `fd` (none: just the time) and returns false once the proxy stops.
    bool await(int fd, short events, int milliseconds = -1) {
        pollfd fds[2] = {{fd, events, 0}, {wake_, POLLIN, 0}};
        ::poll(fds, 2, milliseconds);
        return !stopping_;
    }

    // How many more bytes may go to the client (0) or server (1) before the cut; with mutex_.
    std::uint64_t allowance(int to) const {
        if (plan_.cut == FaultPlan::Cut::none || !armed_ || plan_.cutToServer != (to == 1)) {
            return ~0ull;
        }
        return plan_.cutOffset - std::min<std::uint64_t>(plan_.cutOffset, sent_[to]);
    }
    bool cutDue() {
        std::lock_guard lock(mutex_);
        return cutHappened_ = cutHappened_ || allowance(plan_.cutToServer ? 1 : 0) == 0;
    }

    // Sends `n` bytes one way, the server's in the plan's pieces, pauses and pace; false when
    // the cut stops it, the proxy stops or the receiver is gone.
    bool forward(int to, const std::uint8_t* data, std::size_t n) {
        while (n > 0) {
            std::uint64_t allowed = n;
            {
                std::lock_guard lock(mutex_);
                allowed = std::min(allowed, allowance(to));
                if (allowed == 0) {
                    return !(cutHappened_ = true);
                }
            }
            if (to == 0) {
                const auto& pauses = plan_.pauses;
                if (nextPause_ < pauses.size() && pauses[nextPause_].first <= sent_[0]) {
                    if (!await(-1, 0, int(pauses[nextPause_++].second.count()))) {
                        return false;
                    }
                    continue;
                }
                if (nextPause_ < pauses.size()) {
                    allowed = std::min(allowed, pauses[nextPause_].first - sent_[0]);
                }
                if (pieceLeft_ == 0) {
                    pieceLeft_ = plan_.maxPiece == 0 ? ~std::size_t(0)
                                                     : std::uniform_int_distribution<std::size_t>(
                                                           plan_.minPiece, plan_.maxPiece)(random_);
                }
                allowed = std::min<std::uint64_t>(allowed, pieceLeft_);
            }
            const int fd = to == 0 ? client_ : server_;
            const ssize_t sent = ::send(fd, data, allowed, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && ((errno != EAGAIN && errno != EINTR) || !await(fd, POLLOUT))) {
                return false;
            }
            const std::size_t count = std::size_t(std::max<ssize_t>(sent, 0));
            data += count, n -= count, sent_[to] += count;
            if (to == 0 && count > 0 && (pieceLeft_ -= count) == 0 && plan_.paced &&
                !awaitClient()) {
                return false;
            }
        }
        return true;
    }

    // Until the client has received all that went out, so that a piece ends one of its reads.
    bool awaitClient() {
        const auto deadline = Clock::now() + 5s;
        auto caughtUp = [this] {
            const RFBClient* client = pacer;
            return client && client->statistics().bytesReceived >= sent_[0];
        };
        for (int round = 0; !caughtUp(); ++round) {
            if (stopping_) {
                return false;
            }
            pollfd p{client_, POLLRDHUP, 0};  // a client that closed its end will not catch up
            if (round % 64 == 63 && (::poll(&p, 1, 0) > 0 || Clock::now() >= deadline)) {
                ++paceTimeouts;
                return true;
            }
            round < 256 ? std::this_thread::yield() : std::this_thread::sleep_for(20us);
        }
        return true;
    }

    void run(int serverPort) {
        if (!await(listener_, POLLIN)) {
            return;
        }
        client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(std::exchange(listener_, -1));  // a second connection is refused, not queued
        server_ = connectToLoopback(serverPort);
        if (client_ < 0 || server_ < 0) {
            return;
        }
        const int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(server_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::uint8_t buffer[65536];
        while (!cutDue()) {
            pollfd fds[3] = {{client_, POLLIN, 0}, {server_, POLLIN, 0}, {wake_, POLLIN, 0}};
            ::poll(fds, 3, -1);
            for (int from : {0, 1}) {
                if (stopping_) {
                    return;
                }
                if (fds[from].revents == 0) {
                    continue;
                }
                const ssize_t n = ::recv(fds[from].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    // The client is gone; or the server is, and all it sent went out first.
                    return from == 0 ? void() : closeTowardClient();
                }
                // A server that stopped reading shows as the end of its stream instead.
                if (n > 0 && !forward(1 - from, buffer, std::size_t(n)) && from == 1 && !cutDue()) {
                    return;
                }
            }
        }
        if (plan_.cut == FaultPlan::Cut::reset) {
            ::shutdown(server_, SHUT_RDWR);
            const linger now{1, 0};
            ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            ::close(std::exchange(client_, -1));
        } else {
            closeTowardClient();
        }
    }

    // FIN, then reading on until the client closes too: closing a socket with unread bytes
    // would send a reset instead.
    void closeTowardClient() {
        ::shutdown(server_, SHUT_RDWR);
        ::shutdown(client_, SHUT_WR);
        std::uint8_t sink[4096];
        for (auto deadline = Clock::now() + 10s;
             Clock::now() < deadline && await(client_, POLLIN, 1000);) {
            const ssize_t n = ::recv(client_, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return;
            }
        }
    }

    const FaultPlan plan_;
    std::mt19937_64 random_{plan_.seed};
    int port_ = 0, listener_ = listenOnLoopback(port_, 1), client_ = -1, server_ = -1;
    const int wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    bool armed_ = true, cutHappened_ = false;
    std::atomic<std::uint64_t> sent_[2] = {0, 0};  // to the client, to the server
    std::size_t pieceLeft_ = 0, nextPause_ = 0;
    std::thread thread_;
};

// Generous for a session of a small screen, even under sanitizers: a longer one has hung.
constexpr auto runBound = 10s;

// A small screen, so that hundreds of sessions and one byte at a time take seconds.
const SharedServer& shared() {
    return sharedServer({.width = 240, .height = 160});
}

// A client through a proxy to `plan`, which paces to the client's receives and ends first.
struct Proxied {
    std::optional<Viewer> viewer;
    FaultProxy proxy;

    Proxied(const FaultPlan& plan, std::vector<std::int32_t> encodings,
            RFBQuality quality = RFBQuality::full)
        : proxy(shared().server.port(), plan) {
        viewer.emplace(configurationFor(proxy.endpoint(), 5s, {}, quality), std::move(encodings));
        proxy.pacer = &viewer->client;
    }
};

// Version, one security type, its result and ServerInit with the desktop name.
const std::uint64_t handshakeLength = 12 + 2 + 4 + 24 + ServerOptions{}.desktopName.size();

constexpr int seedsPerBlock = 100;
const std::vector<std::int32_t> encodingSets[] = {RFBClient::encodings(RFBQuality::full, true),
                                                  {RFBEncoding::hextile, RFBEncoding::cursor},
                                                  {RFBEncoding::raw, RFBEncoding::cursor}};

struct Tally {
    std::mutex mutex;
    std::vector<std::string> failures;
    int clean = 0, closed = 0, reset = 0, beforeConnected = 0;
};

class XvncFaults : public testing::TestWithParam<int> {
  protected:
    // What a clean session sends each way, measured through a proxy that changes nothing
    // (which also shows that the proxy is transparent).
    static void SetUpTestSuite() {
        const ProcessResources before = ProcessResources::now();
        for (const auto& encodings : encodingSets) {
            Proxied clean({}, encodings);
            Viewer& viewer = *clean.viewer;
            if (!viewer.pumpUntil([&] { return viewer.shows(shared().screen); })) {
                throw std::runtime_error("no correct frame through a clean proxy");
            }
            // The request that follows the update goes out once the update is counted.
            waitUntil([&] { return viewer.client.statistics().updates >= 1; }, 5s);
            std::this_thread::sleep_for(50ms);
            lengths.emplace_back(clean.proxy.toClient(), clean.proxy.toServer());
        }
        waitForResources(before, 10s);  // so that each test starts from a settled process
    }
    static void TearDownTestSuite() { lengths.clear(); }

    static std::string run(std::uint64_t seed, Tally& tally);
    static inline std::vector<std::pair<std::uint64_t, std::uint64_t>> lengths;
};

// One session to a seeded plan: empty when it went right, else what went wrong.
std::string XvncFaults::run(std::uint64_t seed, Tally& tally) {
    const std::size_t set = seed % std::size(encodingSets);
    const FaultPlan plan = FaultPlan::random(seed, lengths[set].first, lengths[set].second);
    // Some time with the screen complete, for cuts of the requests that follow.
    const auto hold = std::chrono::milliseconds(std::mt19937_64(seed ^ 0x5eed)() % 150);
    const auto deadline = Clock::now() + runBound;
    Proxied proxied(plan, encodingSets[set]);
    Viewer& viewer = *proxied.viewer;
    auto pumpUntil = [&](const std::function<bool()>& done, Clock::time_point until) {
        return viewer.pumpUntil(done, std::chrono::ceil<std::chrono::milliseconds>(
                                          std::min(until, deadline) - Clock::now()));
    };
    const bool correct = pumpUntil([&] { return viewer.shows(shared().screen); }, deadline);
    pumpUntil([] { return false; }, Clock::now() + hold);  // at once after an end or the deadline
    const bool cut = proxied.proxy.disarm(), stopped = !viewer.ends && !cut;
    auto sent = [&] { return " after " + std::to_string(proxied.proxy.toClient()) + " bytes; "; };
    if (stopped && !correct) {
        return plan.describe() + ": neither a correct frame nor an end in time" + sent();
    }
    if (stopped) {
        viewer.client.stop();
    }
    pumpUntil([] { return false; }, deadline);
    if (!viewer.ends) {
        return plan.describe() + ": " + (cut ? "the cut" : "stop()") +
               " did not end the session in time";
    }
    std::string problems;
    for (const std::string& problem : viewer.problems) {
        problems += problem + "; ";
    }
    if (viewer.client.events().next(20ms) || !viewer.client.events().ended()) {
        problems += "the stream did not end with disconnected; ";
    }
    if (viewer.info.has_value() != (proxied.proxy.toClient() >= handshakeLength)) {
        problems += (viewer.info ? "connected" : "not connected") + sent();
    }
    using enum RFBError::Kind;
    const auto kind = viewer.error ? std::optional(viewer.error->kind()) : std::nullopt;
    if (stopped ? kind.has_value()
                : !cut || !(kind == connectionClosed ||
                            (plan.cut == FaultPlan::Cut::reset && kind == connectionFailed))) {
        problems += "ended with " + describe(viewer.error) + (cut ? " after the cut" : "");
    }
    std::lock_guard lock(tally.mutex);
    ++(!cut ? tally.clean : plan.cut == FaultPlan::Cut::close ? tally.closed : tally.reset);
    tally.beforeConnected += cut && !viewer.info;
    return problems.empty() ? "" : plan.describe() + ": " + problems;
}

TEST_P(XvncFaults, EveryRunEndsOnceInTimeOrShowsTheScreen) {
    std::uint64_t first = std::uint64_t(GetParam()) * seedsPerBlock + 1;
    std::uint64_t last = first + seedsPerBlock - 1;
    if (const char* only = std::getenv("TESSARAL_FAULT_SEED")) {
        first = last = std::strtoull(only, nullptr, 10);
    }
    const ProcessResources baseline = ProcessResources::now();
    LogCapture log;
    Tally tally;
    std::atomic<std::uint64_t> next{first};
    for (std::jthread workers[4]; auto& worker : workers) {  // joined as the loop ends
        worker = std::jthread([&] {
            for (std::uint64_t seed; (seed = next++) <= last;) {
                std::string failure;
                try {
                    failure = run(seed, tally);
                } catch (const std::exception& e) {
                    failure = "seed " + std::to_string(seed) + ": " + e.what();
                }
                if (!failure.empty()) {
                    std::lock_guard lock(tally.mutex);
                    tally.failures.push_back(failure);
                }
            }
        });
    }
    for (const std::string& failure : tally.failures) {
        ADD_FAILURE() << failure << "\n(to repeat only this run: TESSARAL_FAULT_SEED=<its seed>)";
    }
    std::cout << "[          ] " << tally.closed << " closed, " << tally.reset << " reset ("
              << tally.beforeConnected << " before connected), " << tally.clean << " clean\n";
    EXPECT_TRUE(last - first + 1 < seedsPerBlock ||  // the plans really strike, and spare some
                (tally.closed >= 10 && tally.reset >= 10 && tally.clean >= 5 &&
                 tally.beforeConnected >= 5));
    const auto endings = std::ranges::count_if(log.lines(), [](const auto& line) {
        return line.first == LogLevel::error && line.second.starts_with("Disconnected:");
    });
    EXPECT_EQ(endings, tally.closed + tally.reset);  // each fault said so once
    EXPECT_EQ(waitForResources(baseline, 10s).describe(), baseline.describe())
        << "left behind by finished sessions";
}

INSTANTIATE_TEST_SUITE_P(Seeds, XvncFaults, testing::Range(0, 4), [](const auto& p) {
    const int first = p.param * seedsPerBlock + 1;
    return "seeds" + std::to_string(first) + "to" + std::to_string(first + seedsPerBlock - 1);
});

// A server that accepts but says nothing is as unreachable as one that never answers: the
// time-out covers the handshake. Once connected, a quiet server is a screen that doesn't change.
TEST(XvncStalls, HandshakeStalledPastTheTimeOutEndsTimedOut) {
    LogCapture quiet;
    // Before the version, the security types, the security result, and within ServerInit.
    for (std::uint64_t offset : {0u, 12u, 14u, 40u}) {
        SCOPED_TRACE("stalled after " + std::to_string(offset) + " bytes");
        FaultProxy proxy(shared().server.port(), {.pauses = {{offset, 8s}}});
        const auto started = Clock::now();
        Viewer viewer(configurationFor(proxy.endpoint(), 2s));
        viewer.pumpUntil([] { return false; }, 4s);
        EXPECT_EQ(viewer.endReason(), describe(RFBError::timedOut()));
        EXPECT_GE(Clock::now() - started, 1900ms);
        EXPECT_EQ(proxy.toClient(), offset);
    }
}

TEST(XvncStalls, QuietServerAfterConnectingIsNoTimeOut) {
    FaultProxy proxy(shared().server.port(), {.pauses = {{handshakeLength + 100, 3s}}});
    const auto started = Clock::now();
    Viewer viewer(configurationFor(proxy.endpoint(), 1s));
    EXPECT_EQ(viewer.expectFrame(shared().screen, 20s), "");
    EXPECT_GE(Clock::now() - started, 3s);
    EXPECT_EQ(viewer.finish(runBound), "no error");
}

class XvncSlowLink : public testing::TestWithParam<EncodingAndQuality> {};

TEST_P(XvncSlowLink, OneByteAtATimeStillGivesTheScreen) {
    const auto [encoding, quality] = GetParam();
    Proxied proxied({.maxPiece = 1, .paced = true}, {encoding, RFBEncoding::cursor}, quality);
    Viewer& viewer = *proxied.viewer;
    const auto started = Clock::now();
    EXPECT_EQ(viewer.expectFrame(expectedFrame(shared().screen, quality, ServerKind::xvnc), 120s),
              "");
    // Every byte came in a receive of its own, so every read of more than one was split.
    EXPECT_EQ(proxied.proxy.paceTimeouts, 0u);
    EXPECT_TRUE(waitUntil(
        [&] { return viewer.client.statistics().decoding[encoding].rectangles >= 1; }, 5s));
    std::cout << "[          ] " << proxied.proxy.toClient() << " bytes one by one in "
              << (Clock::now() - started) / 1ms << " ms\n";
    EXPECT_EQ(viewer.finish(runBound), "no error");
    EXPECT_TRUE(viewer.problems.empty()) << viewer.problems.front();
}

INSTANTIATE_TEST_SUITE_P(Encodings, XvncSlowLink,
                         testing::ValuesIn(std::vector<EncodingAndQuality>{
                             {RFBEncoding::raw, RFBQuality::full},
                             {RFBEncoding::zrle, RFBQuality::full},
                             {RFBEncoding::zrle, RFBQuality::low},
                             {RFBEncoding::hextile, RFBQuality::thousands}}),
                         [](const auto& p) { return caseName(p.param); });

}  // namespace
