// The client against a real Xvnc through a proxy that splits, pauses, closes and resets the
// stream at seeded places. Whatever happens on the way, a session ends with exactly one
// disconnected event, in time, with the error the fault calls for; and where no fault struck, the
// frame is the server's screen, pixel for pixel. A slow link, one byte per receive, changes
// nothing about the picture either.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "FaultProxy.hpp"
#include "Log.hpp"
#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

// Generous for a session of a small screen, even under sanitizers on a loaded machine: a run that
// takes longer has hung.
constexpr auto runBound = 10s;

// What one session reported, checked for order as it arrives.
struct EventLog {
    bool connected = false;
    bool ended = false;
    std::optional<RFBError> error;
    std::vector<std::string> problems;
    std::size_t count = 0;

    void add(const RFBEvent& event) {
        ++count;
        if (ended) {
            problems.push_back("an event after disconnected");
        }
        if (count == 1) {
            auto* status = std::get_if<event::Status>(&event);
            if (!status || status->status != RFBStatus::connecting) {
                problems.push_back("the first event is not connecting");
            }
        }
        if (std::holds_alternative<event::Status>(event)) {
            if (connected) {
                problems.push_back("a status after connected");
            }
        } else if (std::holds_alternative<event::Connected>(event)) {
            if (connected) {
                problems.push_back("connected twice");
            }
            connected = true;
        } else if (auto* disconnected = std::get_if<event::Disconnected>(&event)) {
            ended = true;
            error = disconnected->error;
        } else if (!connected) {
            problems.push_back("a session event before connected");
        }
    }
};

// A static screen shown by one Xvnc for a whole suite: a pattern on a flat background.
struct Screen {
    std::unique_ptr<RealServer> server;
    Picture capture;
    std::size_t handshakeLength = 0;

    Screen(int width, int height, int patternWidth, int patternHeight) {
        ServerOptions options;
        options.width = width;
        options.height = height;
        // Sessions that end during the handshake must not get the loopback address refused.
        options.arguments = {"-UseBlacklist=0"};
        server = std::make_unique<RealServer>(options);
        capture = server->showPattern(patternWidth, patternHeight, 11, 7);
        // Version, one security type, its result and ServerInit with the desktop name.
        handshakeLength = 12 + 2 + 4 + 24 + options.desktopName.size();
    }
};

// Pulls events and frames until the stream ends, `stop` holds or the deadline passes.
struct Session {
    Session(RFBClient& c, const Picture& e) : client(c), expected(e) {}

    RFBClient& client;
    const Picture& expected;
    EventLog log;
    bool correct = false;
    std::optional<RFBImage> held;

    void pump(const std::function<bool()>& stop, Clock::time_point deadline) {
        while (!log.ended && !stop() && Clock::now() < deadline) {
            auto event = client.events().next(20ms);
            if (!event) {
                continue;
            }
            log.add(*event);
            if (std::holds_alternative<event::FrameAvailable>(*event)) {
                auto image = client.takeFrame();
                if (image && (!held || image->words() != held->words())) {
                    held = image;
                    // The first frame, before any update, is black: never the expected screen.
                    correct = pictureOf(*image) == expected;
                }
            }
        }
    }
};

// ---- Seeded faults ------------------------------------------------------------------------

constexpr int seedsPerBlock = 100;

struct EncodingSet {
    const char* name;
    std::vector<std::int32_t> encodings;
};

const std::vector<EncodingSet>& encodingSets() {
    static const std::vector<EncodingSet> sets = {
        {"default", RFBClient::encodings(true)},
        {"Hextile", {RFBEncoding::hextile, RFBEncoding::cursor}},
        {"Raw", {RFBEncoding::raw, RFBEncoding::cursor}},
    };
    return sets;
}

// What a clean session sends each way, per encoding set, so that plans can put cuts anywhere.
struct StreamLengths {
    std::uint64_t toClient = 0;
    std::uint64_t toServer = 0;
};

struct Tally {
    std::mutex mutex;
    std::vector<std::string> failures;
    int clean = 0;
    int closed = 0;
    int reset = 0;
    int beforeConnected = 0;

    void fail(const FaultPlan& plan, const std::string& what) {
        std::lock_guard lock(mutex);
        failures.push_back(plan.describe() + ": " + what);
    }
};

// Counts the lines the library logs when a session ends with an error, instead of printing them.
class ErrorLines {
  public:
    ErrorLines() {
        setLogSink([this](LogLevel level, std::string_view message) {
            if (level == LogLevel::error && message.starts_with("Disconnected:")) {
                ++count_;
            }
        });
    }
    ~ErrorLines() { setLogSink(nullptr); }
    int count() const { return count_.load(); }

  private:
    std::atomic<int> count_{0};
};

class XvncFaults : public testing::TestWithParam<int> {
  protected:
    static void SetUpTestSuite() {
        screen = std::make_unique<Screen>(240, 160, 160, 100);
        ProcessResources before = ProcessResources::now();
        for (const EncodingSet& set : encodingSets()) {
            lengths.push_back(measure(set));
        }
        // So that each test starts from a settled process.
        waitForResources(before, 10s);
    }
    static void TearDownTestSuite() {
        screen.reset();
        lengths.clear();
    }

    // A session through a proxy that changes nothing: also shows that the proxy is transparent.
    static StreamLengths measure(const EncodingSet& set) {
        FaultProxy proxy(screen->server->port(), FaultPlan{});
        RFBClient client(configurationFor(proxy.endpoint(), 5s));
        RFBClientTesting::setEncodings(client, set.encodings);
        client.start();
        Session session(client, screen->capture);
        session.pump([&] { return session.correct; }, Clock::now() + 30s);
        if (!session.correct) {
            throw std::runtime_error(std::string("no correct frame through a clean proxy with ") +
                                     set.name + ": " + describe(session.log.error));
        }
        // The request that follows the update goes out once the update is counted.
        waitUntil([&] { return client.statistics().updates >= 1; }, 5s);
        std::this_thread::sleep_for(50ms);
        return {proxy.forwarded(Direction::toClient), proxy.forwarded(Direction::toServer)};
    }

    static void run(std::uint64_t seed, Tally& tally);

    static std::unique_ptr<Screen> screen;
    static std::vector<StreamLengths> lengths;
};
std::unique_ptr<Screen> XvncFaults::screen;
std::vector<StreamLengths> XvncFaults::lengths;

void XvncFaults::run(std::uint64_t seed, Tally& tally) {
    std::size_t setIndex = std::size_t(seed % encodingSets().size());
    const EncodingSet& set = encodingSets()[setIndex];
    FaultPlan plan =
        FaultPlan::random(seed, lengths[setIndex].toClient, lengths[setIndex].toServer);
    std::mt19937_64 random(seed ^ 0x5eed);
    // Some time with the screen complete, for cuts of the requests that follow.
    auto hold = std::chrono::milliseconds(long(random() % 150));
    auto fail = [&](const std::string& what) { tally.fail(plan, set.name + (": " + what)); };

    auto deadline = Clock::now() + runBound;
    // Outlives the proxy, whose thread may ask it how far it got.
    std::unique_ptr<RFBClient> client;
    FaultProxy proxy(screen->server->port(), plan);
    client = std::make_unique<RFBClient>(configurationFor(proxy.endpoint(), 5s));
    RFBClientTesting::setEncodings(*client, set.encodings);
    if (plan.paced) {
        RFBClient* paced = client.get();
        proxy.pace(
            [paced](std::uint64_t sent) { return paced->statistics().bytesReceived >= sent; });
    }
    client->start();

    Session session(*client, screen->capture);
    session.pump([&] { return session.correct; }, deadline);
    bool stopped = false;
    if (session.correct && !session.log.ended) {
        session.pump([] { return false; }, std::min(deadline, Clock::now() + hold));
    }
    bool cut = proxy.disarm();
    if (!session.log.ended && !cut) {
        if (!session.correct) {
            fail("neither a correct frame nor an end in time; " +
                 std::to_string(proxy.forwarded(Direction::toClient)) + " bytes to the client");
            return;
        }
        client->stop();
        stopped = true;
    }
    session.pump([] { return false; }, deadline);
    if (!session.log.ended) {
        fail(std::string(cut ? "the cut" : "stop()") + " did not end the session in time");
        return;
    }

    for (const std::string& problem : session.log.problems) {
        fail(problem);
    }
    if (client->events().next(20ms) || !client->events().ended()) {
        fail("the stream did not end with disconnected");
    }
    std::uint64_t delivered = proxy.forwarded(Direction::toClient);
    if (session.log.connected != (delivered >= screen->handshakeLength)) {
        fail(std::string(session.log.connected ? "connected" : "not connected") + " after " +
             std::to_string(delivered) + " bytes");
    }
    const std::optional<RFBError>& error = session.log.error;
    if (stopped) {
        if (error) {
            fail("stopped, but the end came with " + describe(error));
        }
    } else if (!cut) {
        fail("ended without a fault: " + describe(error));
    } else if (plan.cut == FaultPlan::Cut::close
                   ? !(error && error->kind() == RFBError::Kind::connectionClosed)
                   : !(error && (error->kind() == RFBError::Kind::connectionFailed ||
                                 error->kind() == RFBError::Kind::connectionClosed))) {
        fail("the cut ended the session with " + describe(error));
    }

    std::lock_guard lock(tally.mutex);
    if (!cut) {
        ++tally.clean;
    } else {
        ++(plan.cut == FaultPlan::Cut::close ? tally.closed : tally.reset);
        tally.beforeConnected += session.log.connected ? 0 : 1;
    }
}

TEST_P(XvncFaults, EveryRunEndsOnceInTimeOrShowsTheScreen) {
    std::uint64_t first = std::uint64_t(GetParam()) * seedsPerBlock + 1;
    std::uint64_t last = first + seedsPerBlock - 1;
    if (const char* only = std::getenv("TESSARAL_FAULT_SEED")) {
        first = last = std::strtoull(only, nullptr, 10);
    }
    ProcessResources baseline = ProcessResources::now();
    ErrorLines errorLines;

    Tally tally;
    std::atomic<std::uint64_t> next{first};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
            for (std::uint64_t seed; (seed = next++) <= last;) {
                try {
                    run(seed, tally);
                } catch (const std::exception& e) {
                    tally.fail(FaultPlan::random(seed, 0, 0), e.what());
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
    std::uint64_t runs = last - first + 1;
    std::cout << "[          ] " << runs << " runs: " << tally.closed << " closed, " << tally.reset
              << " reset (" << tally.beforeConnected << " of them before connected), "
              << tally.clean << " without a fault\n";
    if (runs == seedsPerBlock) {
        // Proof that the plans really strike, and really leave some sessions alone.
        EXPECT_GE(tally.closed, 10);
        EXPECT_GE(tally.reset, 10);
        EXPECT_GE(tally.clean, 5);
        EXPECT_GE(tally.beforeConnected, 5);
    }
    // Each session that a fault ended says so once.
    EXPECT_EQ(errorLines.count(), tally.closed + tally.reset);
    ProcessResources after = waitForResources(baseline, 10s);
    EXPECT_EQ(after.describe(), baseline.describe()) << "left behind by finished sessions";
}

INSTANTIATE_TEST_SUITE_P(Seeds, XvncFaults, testing::Range(0, 4), [](const auto& p) {
    std::uint64_t first = std::uint64_t(p.param) * seedsPerBlock + 1;
    return "seeds" + std::to_string(first) + "to" + std::to_string(first + seedsPerBlock - 1);
});

// ---- Stalls --------------------------------------------------------------------------------

// A server that accepts but then says nothing is as unreachable as one that never answers the
// connection: the time-out covers the handshake. Once connected, a quiet server is just a screen
// that does not change.
// A small screen of its own for each suite derived from it.
template <class Base>
class OnSmallScreen : public Base {
  protected:
    static void SetUpTestSuite() { screen = std::make_unique<Screen>(160, 120, 120, 90); }
    static void TearDownTestSuite() { screen.reset(); }
    static inline std::unique_ptr<Screen> screen;
};

class XvncStalls : public OnSmallScreen<testing::Test> {};

TEST_F(XvncStalls, HandshakeStalledPastTheTimeOutEndsTimedOut) {
    ErrorLines quiet;
    // Before the version, the security types, the security result, and within ServerInit.
    for (std::uint64_t offset : {0u, 12u, 14u, 40u}) {
        SCOPED_TRACE("stalled after " + std::to_string(offset) + " bytes");
        FaultPlan plan;
        plan.pauses = {{offset, 8s}};
        FaultProxy proxy(screen->server->port(), plan);
        RFBConfiguration configuration = configurationFor(proxy.endpoint(), 5s);
        configuration.connectTimeout = std::chrono::seconds(2);
        RFBClient client(configuration);
        auto started = Clock::now();
        client.start();

        Session session(client, screen->capture);
        session.pump([] { return false; }, started + 4s);
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        EXPECT_TRUE(session.log.ended) << "still waiting after " << took.count() << " ms";
        EXPECT_FALSE(session.log.connected);
        EXPECT_EQ(describe(session.log.error), describe(RFBError::timedOut()));
        EXPECT_GE(took, 1900ms);
        EXPECT_EQ(proxy.forwarded(Direction::toClient), offset);
    }
}

TEST_F(XvncStalls, QuietServerAfterConnectingIsNoTimeOut) {
    FaultPlan plan;
    plan.pauses = {{screen->handshakeLength + 100, 3s}};
    FaultProxy proxy(screen->server->port(), plan);
    RFBConfiguration configuration = configurationFor(proxy.endpoint(), 5s);
    configuration.connectTimeout = std::chrono::seconds(1);
    RFBClient client(configuration);
    auto started = Clock::now();
    client.start();

    Session session(client, screen->capture);
    session.pump([&] { return session.correct; }, started + 20s);
    EXPECT_TRUE(session.correct) << describe(session.log.error);
    EXPECT_GE(Clock::now() - started, 3s);
    EXPECT_FALSE(session.log.ended) << describe(session.log.error);
    client.stop();
    session.pump([] { return false; }, Clock::now() + runBound);
    EXPECT_EQ(describe(session.log.error), "no error");
}

// ---- A slow link --------------------------------------------------------------------------

class XvncSlowLink : public OnSmallScreen<testing::TestWithParam<EncodingAndQuality>> {};

TEST_P(XvncSlowLink, OneByteAtATimeStillGivesTheScreen) {
    auto [encoding, quality] = GetParam();
    Picture expected = expectedFrame(screen->capture, quality, ServerKind::xvnc);

    std::unique_ptr<RFBClient> client;
    FaultProxy proxy(screen->server->port(), FaultPlan::oneByteAtATime());
    RFBConfiguration configuration = configurationFor(proxy.endpoint(), 5s);
    configuration.quality = quality;
    client = std::make_unique<RFBClient>(configuration);
    RFBClientTesting::setEncodings(*client, {encoding, RFBEncoding::cursor});
    RFBClient* paced = client.get();
    proxy.pace([paced](std::uint64_t sent) { return paced->statistics().bytesReceived >= sent; });
    auto started = Clock::now();
    client->start();

    Session session(*client, expected);
    session.pump([&] { return session.correct; }, Clock::now() + 120s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_TRUE(session.correct) << describe(session.log.error);
    if (session.held) {
        EXPECT_EQ(difference(pictureOf(*session.held), expected), "");
    }
    // Each byte came in a receive of its own: every read of more than one byte was split at
    // every byte.
    EXPECT_EQ(proxy.paceTimeouts(), 0u);
    std::uint64_t bytes = proxy.forwarded(Direction::toClient);
    EXPECT_GT(bytes, std::uint64_t(screen->handshakeLength));
    // The statistics count an update just after its frame is published.
    EXPECT_TRUE(
        waitUntil([&] { return client->statistics().decoding[encoding].rectangles >= 1; }, 5s));
    std::cout << "[          ] " << bytes << " bytes one by one in " << took.count() << " ms\n";

    client->stop();
    session.pump([] { return false; }, Clock::now() + runBound);
    EXPECT_TRUE(session.log.ended);
    EXPECT_EQ(describe(session.log.error), "no error");
    EXPECT_TRUE(session.log.problems.empty()) << session.log.problems.front();
}

INSTANTIATE_TEST_SUITE_P(Encodings, XvncSlowLink,
                         testing::Values(EncodingAndQuality{RFBEncoding::raw, RFBQuality::full},
                                         EncodingAndQuality{RFBEncoding::zrle, RFBQuality::full},
                                         EncodingAndQuality{RFBEncoding::zrle, RFBQuality::low},
                                         EncodingAndQuality{RFBEncoding::hextile,
                                                            RFBQuality::thousands}),
                         [](const auto& p) { return caseName(p.param); });

}  // namespace
