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

using Clock = std::chrono::steady_clock;

// ---- The proxy ----------------------------------------------------------------------------

struct FaultPlan {
    enum class Cut { none, close, reset } cut = Cut::none;  // close: FIN; reset: RST
    bool cutToServer = false;                               // which stream's bytes the cut counts
    std::uint64_t cutOffset = 0;
    // The server's bytes go out in sends of minPiece...maxPiece bytes (0: as they came).
    std::size_t minPiece = 1;
    std::size_t maxPiece = 0;
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
        const std::size_t pieces[][2] = {{1, 0}, {1, 1}, {1, 8}, {1, 200}, {500, 5000}};
        const std::size_t* piece = pieces[below(5)];
        plan.minPiece = piece[0];
        plan.maxPiece = piece[1];
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
        text << "seed " << seed << ": ";
        if (cut == Cut::none) {
            text << "no cut";
        } else {
            text << (cut == Cut::close ? "close" : "reset") << " after " << cutOffset
                 << " bytes to the " << (cutToServer ? "server" : "client");
        }
        text << ", pieces of " << minPiece << "..." << maxPiece << (paced ? " paced" : "");
        for (auto [offset, duration] : pauses) {
            text << ", pause at " << offset << " for " << duration.count() << " ms";
        }
        return text.str();
    }
};

// Relays the first connection on its loopback port to the server, to its plan, on a thread.
class FaultProxy {
  public:
    FaultProxy(int serverPort, FaultPlan plan) : plan_(std::move(plan)), random_(plan_.seed) {
        listener_ = listenOnLoopback(port_, 1);
        thread_ = std::thread([this, serverPort] { run(serverPort); });
    }
    ~FaultProxy() {
        stopping_ = true;
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
        thread_.join();
        for (int fd : {listener_, wake_, client_, server_}) {
            ::close(fd);
        }
    }

    RFBEndpoint endpoint() const { return RFBEndpoint::host("127.0.0.1", port_); }
    int port() const { return port_; }
    // Cancels the cut unless it has happened, and returns whether it had.
    bool disarm() {
        std::lock_guard lock(mutex_);
        armed_ = false;
        return cutHappened_;
    }
    std::uint64_t toClient() const { return sent_[0]; }
    std::uint64_t toServer() const { return sent_[1]; }
    std::uint64_t paceTimeouts() const { return paceTimeouts_; }
    // The client a paced plan waits for; it must outlive the proxy.
    std::atomic<const RFBClient*> pacer{nullptr};

  private:
    // Bytes waiting to go one way; read only while less than `cap` waits, so memory stays bounded.
    struct Pending {
        static constexpr std::size_t cap = 1 << 20;
        std::vector<std::uint8_t> bytes;
        std::size_t start = 0;
        std::size_t size() const { return bytes.size() - start; }
        void consume(std::size_t count) {
            if ((start += count) == bytes.size() || start > cap) {
                bytes.erase(bytes.begin(), bytes.begin() + long(start));
                start = 0;
            }
        }
        bool receive(int fd) {  // false at the end of the stream
            const std::size_t old = bytes.size();
            bytes.resize(old + 65536);
            const ssize_t n = ::recv(fd, bytes.data() + old, 65536, MSG_DONTWAIT);
            bytes.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
            return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
        }
    };

    // How many more bytes may go to the client (0) or server (1) before the cut; 0 also once
    // the cut is due, which then happens.
    std::uint64_t allowance(int direction) {
        std::lock_guard lock(mutex_);
        if (plan_.cut == FaultPlan::Cut::none || !armed_ || plan_.cutToServer != (direction == 1)) {
            return ~0ull;
        }
        return plan_.cutOffset > sent_[direction] ? plan_.cutOffset - sent_[direction] : 0;
    }
    bool cutDue() {
        std::lock_guard lock(mutex_);
        const bool due = plan_.cut != FaultPlan::Cut::none && armed_ && !cutHappened_ &&
                         sent_[plan_.cutToServer ? 1 : 0] >= plan_.cutOffset;
        cutHappened_ = cutHappened_ || due;
        return due;
    }

    // Sends what `from` holds to `fd`, at most `allowed` bytes; false when `fd` is gone.
    bool send(int fd, Pending& from, std::size_t n, int direction) {
        const ssize_t sent =
            ::send(fd, from.bytes.data() + from.start, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        from.consume(std::size_t(sent));
        sent_[direction] += std::uint64_t(sent);
        return true;
    }

    bool paused() const { return Clock::now() < resumeAt_; }

    // Sends the server's bytes in the plan's pieces, pauses and pace; false when the client is
    // gone or the proxy stops.
    bool sendToClient() {
        while (toClient_.size() > 0 && !paused()) {
            std::uint64_t allowed = allowance(0);
            if (nextPause_ < plan_.pauses.size()) {
                auto [offset, duration] = plan_.pauses[nextPause_];
                if (offset <= sent_[0]) {
                    resumeAt_ = Clock::now() + duration;
                    ++nextPause_;
                    continue;
                }
                allowed = std::min(allowed, offset - sent_[0]);
            }
            if (allowed == 0) {
                return true;
            }
            if (pieceLeft_ == 0) {
                pieceLeft_ = plan_.maxPiece == 0 ? ~std::size_t(0)
                                                 : std::uniform_int_distribution<std::size_t>(
                                                       plan_.minPiece, plan_.maxPiece)(random_);
            }
            const std::uint64_t before = sent_[0];
            const std::size_t n = std::size_t(
                std::min<std::uint64_t>({toClient_.size(), pieceLeft_, allowed, Pending::cap}));
            if (!send(client_, toClient_, n, 0)) {
                return false;
            }
            if (sent_[0] == before) {
                return true;
            }
            pieceLeft_ -= std::size_t(sent_[0] - before);
            if (pieceLeft_ == 0 && plan_.paced && !awaitClient()) {
                return false;
            }
        }
        return true;
    }

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
                ++paceTimeouts_;
                return true;
            }
            round < 256 ? std::this_thread::yield() : std::this_thread::sleep_for(20us);
        }
        return true;
    }

    void run(int serverPort) {
        pollfd accepting[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        while (client_ < 0 && !stopping_) {
            if (::poll(accepting, 2, 1000) > 0 && accepting[0].revents != 0) {
                client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            }
        }
        ::close(std::exchange(listener_, -1));  // a second connection is refused, not queued
        server_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{.sin_family = AF_INET,
                            .sin_port = htons(std::uint16_t(serverPort)),
                            .sin_addr = {htonl(INADDR_LOOPBACK)},
                            .sin_zero = {}};
        if (client_ < 0 ||
            ::connect(server_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        for (int fd : {client_, server_}) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        bool serverEnded = false;
        while (!stopping_ && !cutDue()) {
            if (toServer_.size() > 0 && !serverEnded) {
                const std::uint64_t n = std::min<std::uint64_t>(toServer_.size(), allowance(1));
                serverEnded = n > 0 && !send(server_, toServer_, std::size_t(n), 1);
            }
            if (!sendToClient()) {
                return;
            }
            if (cutDue()) {
                break;
            }
            if (serverEnded && toClient_.size() == 0) {  // what the server sent went out first
                return closeTowardClient();
            }
            const bool clientOut = toClient_.size() > 0 && !paused();
            pollfd fds[3] = {
                {client_,
                 short((toServer_.size() < Pending::cap ? POLLIN : 0) | (clientOut ? POLLOUT : 0)),
                 0},
                {serverEnded ? -1 : server_,
                 short((toClient_.size() < Pending::cap ? POLLIN : 0) |
                       (toServer_.size() > 0 ? POLLOUT : 0)),
                 0},
                {wake_, POLLIN, 0}};
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(resumeAt_ - Clock::now());
            ::poll(fds, 3, paused() ? int(std::clamp<long>(wait.count(), 0, 1000)) : 1000);
            if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !toServer_.receive(client_)) {
                return;  // the client is gone
            }
            if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) && !toClient_.receive(server_)) {
                serverEnded = true;
            }
        }
        ::shutdown(server_, SHUT_RDWR);
        if (plan_.cut == FaultPlan::Cut::reset && !stopping_) {
            const linger now{1, 0};
            ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            ::close(std::exchange(client_, -1));
        } else if (!stopping_) {
            closeTowardClient();
        }
    }

    // FIN, then reading on until the client closes too: closing a socket with unread bytes
    // would send a reset instead.
    void closeTowardClient() {
        ::shutdown(server_, SHUT_RDWR);
        ::shutdown(client_, SHUT_WR);
        std::uint8_t sink[4096];
        pollfd fds[2] = {{client_, POLLIN, 0}, {wake_, POLLIN, 0}};
        for (auto deadline = Clock::now() + 10s; !stopping_ && Clock::now() < deadline;) {
            if (::poll(fds, 2, 1000) > 0 && fds[0].revents != 0) {
                const ssize_t n = ::recv(client_, sink, sizeof sink, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    break;
                }
            }
        }
    }

    const FaultPlan plan_;
    std::mt19937_64 random_;
    int listener_ = -1, port_ = 0, client_ = -1, server_ = -1;
    const int wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    bool armed_ = true;
    bool cutHappened_ = false;
    std::atomic<std::uint64_t> sent_[2] = {0, 0};  // to the client, to the server
    std::atomic<std::uint64_t> paceTimeouts_{0};
    Pending toClient_, toServer_;
    std::size_t pieceLeft_ = 0, nextPause_ = 0;
    Clock::time_point resumeAt_{};
    std::thread thread_;
};

// A client through a proxy to `plan`, which paces to the client's receives and ends first.
struct Proxied {
    std::optional<Viewer> viewer;
    FaultProxy proxy;

    Proxied(int serverPort, const FaultPlan& plan, std::vector<std::int32_t> encodings,
            RFBConfiguration configuration)
        : proxy(serverPort, plan) {
        configuration.endpoint = proxy.endpoint();
        viewer.emplace(configuration, std::move(encodings));
        proxy.pacer = &viewer->client;
    }
};

// ---- The tests ----------------------------------------------------------------------------

// Generous for a session of a small screen, even under sanitizers: a longer one has hung.
constexpr auto runBound = 10s;

// A pattern on a flat background, shown by one Xvnc for a whole suite.
struct Screen {
    RealServer server;
    Picture capture;
    // Version, one security type, its result and ServerInit with the desktop name.
    std::uint64_t handshakeLength = 12 + 2 + 4 + 24 + ServerOptions{}.desktopName.size();

    Screen(int width, int height, int patternWidth, int patternHeight)
        : server(ServerOptions{.width = width, .height = height}),
          capture(server.showPattern(patternWidth, patternHeight, 11, 7)) {}
};

template <class Base>
class OnScreen : public Base {
  protected:
    static void SetUpTestSuite() { screen = std::make_unique<Screen>(240, 160, 160, 100); }
    static void TearDownTestSuite() { screen.reset(); }
    static inline std::unique_ptr<Screen> screen;
};

// Counts the lines the library logs when a session ends with an error, instead of printing them.
struct ErrorLines {
    std::atomic<int> count{0};
    ErrorLines() {
        setLogSink([this](LogLevel level, std::string_view message) {
            count += level == LogLevel::error && message.starts_with("Disconnected:");
        });
    }
    ~ErrorLines() { setLogSink(nullptr); }
};

constexpr int seedsPerBlock = 100;
const std::vector<std::int32_t> encodingSets[] = {RFBClient::encodings(true),
                                                  {RFBEncoding::hextile, RFBEncoding::cursor},
                                                  {RFBEncoding::raw, RFBEncoding::cursor}};

struct Tally {
    std::mutex mutex;
    std::vector<std::string> failures;
    int clean = 0, closed = 0, reset = 0, beforeConnected = 0;
};

class XvncFaults : public OnScreen<testing::TestWithParam<int>> {
  protected:
    // What a clean session sends each way, measured through a proxy that changes nothing
    // (which also shows that the proxy is transparent).
    static void SetUpTestSuite() {
        OnScreen::SetUpTestSuite();
        const ProcessResources before = ProcessResources::now();
        for (const auto& encodings : encodingSets) {
            Proxied clean(screen->server.port(), {}, encodings,
                          configurationFor(screen->server.endpoint(), 5s));
            Viewer& viewer = *clean.viewer;
            if (!viewer.pumpUntil([&] { return viewer.shows(screen->capture); })) {
                throw std::runtime_error("no correct frame through a clean proxy");
            }
            // The request that follows the update goes out once the update is counted.
            waitUntil([&] { return viewer.client.statistics().updates >= 1; }, 5s);
            std::this_thread::sleep_for(50ms);
            lengths.emplace_back(clean.proxy.toClient(), clean.proxy.toServer());
        }
        waitForResources(before, 10s);  // so that each test starts from a settled process
    }
    static void TearDownTestSuite() {
        OnScreen::TearDownTestSuite();
        lengths.clear();
    }

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
    Proxied proxied(screen->server.port(), plan, encodingSets[set],
                    configurationFor(screen->server.endpoint(), 5s));
    Viewer* viewer = &*proxied.viewer;
    FaultProxy* proxy = &proxied.proxy;
    auto failed = [&](const std::string& what) { return plan.describe() + ": " + what; };
    auto pumpUntil = [&](const std::function<bool()>& done, Clock::time_point until) {
        return viewer->pumpUntil(done, std::chrono::ceil<std::chrono::milliseconds>(
                                           std::min(until, deadline) - Clock::now()));
    };
    const bool correct = pumpUntil([&] { return viewer->shows(screen->capture); }, deadline);
    if (correct) {
        pumpUntil([] { return false; }, Clock::now() + hold);
    }
    const bool cut = proxy->disarm(), stopped = !viewer->ends && !cut;
    if (stopped && !correct) {
        return failed("neither a correct frame nor an end in time; " +
                      std::to_string(proxy->toClient()) + " bytes to the client");
    }
    if (stopped) {
        viewer->client.stop();
    }
    pumpUntil([] { return false; }, deadline);
    if (!viewer->ends) {
        return failed(std::string(cut ? "the cut" : "stop()") + " did not end the session in time");
    }
    std::string problems;
    for (const std::string& problem : viewer->problems) {
        problems += problem + "; ";
    }
    if (viewer->client.events().next(20ms) || !viewer->client.events().ended()) {
        problems += "the stream did not end with disconnected; ";
    }
    if (viewer->info.has_value() != (proxy->toClient() >= screen->handshakeLength)) {
        problems += std::string(viewer->info ? "connected" : "not connected") + " after " +
                    std::to_string(proxy->toClient()) + " bytes; ";
    }
    const auto kind = viewer->error ? viewer->error->kind() : RFBError::Kind::protocolViolation;
    const bool rightEnd = stopped ? !viewer->error
                          : plan.cut == FaultPlan::Cut::close
                              ? viewer->error && kind == RFBError::Kind::connectionClosed
                              : viewer->error && (kind == RFBError::Kind::connectionFailed ||
                                                  kind == RFBError::Kind::connectionClosed);
    if (!rightEnd || (!stopped && !cut)) {
        problems += "ended with " + describe(viewer->error) + (cut ? " after the cut" : "");
    }
    std::lock_guard lock(tally.mutex);
    ++(!cut ? tally.clean : plan.cut == FaultPlan::Cut::close ? tally.closed : tally.reset);
    tally.beforeConnected += cut && !viewer->info;
    return problems.empty() ? "" : failed(problems);
}

TEST_P(XvncFaults, EveryRunEndsOnceInTimeOrShowsTheScreen) {
    std::uint64_t first = std::uint64_t(GetParam()) * seedsPerBlock + 1;
    std::uint64_t last = first + seedsPerBlock - 1;
    if (const char* only = std::getenv("TESSARAL_FAULT_SEED")) {
        first = last = std::strtoull(only, nullptr, 10);
    }
    const ProcessResources baseline = ProcessResources::now();
    ErrorLines errorLines;
    Tally tally;
    std::atomic<std::uint64_t> next{first};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
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
    for (std::thread& worker : workers) {
        worker.join();
    }
    for (const std::string& failure : tally.failures) {
        ADD_FAILURE() << failure << "\n(to repeat only this run: TESSARAL_FAULT_SEED=<its seed>)";
    }
    std::cout << "[          ] " << tally.closed << " closed, " << tally.reset << " reset ("
              << tally.beforeConnected << " before connected), " << tally.clean << " clean\n";
    if (last - first + 1 == seedsPerBlock) {  // the plans really strike, and spare some
        EXPECT_GE(tally.closed, 10);
        EXPECT_GE(tally.reset, 10);
        EXPECT_GE(tally.clean, 5);
        EXPECT_GE(tally.beforeConnected, 5);
    }
    EXPECT_EQ(errorLines.count, tally.closed + tally.reset);  // each fault said so once
    EXPECT_EQ(waitForResources(baseline, 10s).describe(), baseline.describe())
        << "left behind by finished sessions";
}

INSTANTIATE_TEST_SUITE_P(Seeds, XvncFaults, testing::Range(0, 4), [](const auto& p) {
    const int first = p.param * seedsPerBlock + 1;
    return "seeds" + std::to_string(first) + "to" + std::to_string(first + seedsPerBlock - 1);
});

// A server that accepts but says nothing is as unreachable as one that never answers: the
// time-out covers the handshake. Once connected, a quiet server is a screen that doesn't change.
class XvncStalls : public OnScreen<testing::Test> {};

TEST_F(XvncStalls, HandshakeStalledPastTheTimeOutEndsTimedOut) {
    ErrorLines quiet;
    // Before the version, the security types, the security result, and within ServerInit.
    for (std::uint64_t offset : {0u, 12u, 14u, 40u}) {
        SCOPED_TRACE("stalled after " + std::to_string(offset) + " bytes");
        FaultProxy proxy(screen->server.port(), {.pauses = {{offset, 8s}}});
        const auto started = Clock::now();
        Viewer viewer(configurationFor(proxy.endpoint(), 2s));
        viewer.pumpUntil([] { return false; }, 4s);
        EXPECT_EQ(viewer.endReason(), describe(RFBError::timedOut()));
        EXPECT_GE(Clock::now() - started, 1900ms);
        EXPECT_EQ(proxy.toClient(), offset);
    }
}

TEST_F(XvncStalls, QuietServerAfterConnectingIsNoTimeOut) {
    FaultProxy proxy(screen->server.port(), {.pauses = {{screen->handshakeLength + 100, 3s}}});
    const auto started = Clock::now();
    Viewer viewer(configurationFor(proxy.endpoint(), 1s));
    EXPECT_EQ(viewer.expectFrame(screen->capture, 20s), "");
    EXPECT_GE(Clock::now() - started, 3s);
    viewer.client.stop();
    viewer.pumpUntil([] { return false; }, runBound);
    EXPECT_EQ(viewer.endReason(), "no error");
}

class XvncSlowLink : public OnScreen<testing::TestWithParam<EncodingAndQuality>> {};

TEST_P(XvncSlowLink, OneByteAtATimeStillGivesTheScreen) {
    const auto [encoding, quality] = GetParam();
    Proxied proxied(screen->server.port(), {.maxPiece = 1, .paced = true},
                    {encoding, RFBEncoding::cursor},
                    configurationFor(screen->server.endpoint(), 5s, {}, quality));
    Viewer* viewer = &*proxied.viewer;
    FaultProxy* proxy = &proxied.proxy;
    const auto started = Clock::now();
    EXPECT_EQ(viewer->expectFrame(expectedFrame(screen->capture, quality, ServerKind::xvnc), 120s),
              "");
    // Every byte came in a receive of its own, so every read of more than one was split.
    EXPECT_EQ(proxy->paceTimeouts(), 0u);
    EXPECT_TRUE(waitUntil(
        [&] { return viewer->client.statistics().decoding[encoding].rectangles >= 1; }, 5s));
    std::cout
        << "[          ] " << proxy->toClient() << " bytes one by one in "
        << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count()
        << " ms\n";
    viewer->client.stop();
    viewer->pumpUntil([] { return false; }, runBound);
    EXPECT_EQ(viewer->endReason(), "no error");
    EXPECT_TRUE(viewer->problems.empty()) << viewer->problems.front();
}

INSTANTIATE_TEST_SUITE_P(Encodings, XvncSlowLink,
                         testing::Values(EncodingAndQuality{RFBEncoding::raw, RFBQuality::full},
                                         EncodingAndQuality{RFBEncoding::zrle, RFBQuality::full},
                                         EncodingAndQuality{RFBEncoding::zrle, RFBQuality::low},
                                         EncodingAndQuality{RFBEncoding::hextile,
                                                            RFBQuality::thousands}),
                         [](const auto& p) { return caseName(p.param); });

}  // namespace
