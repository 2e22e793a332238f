// Connecting to a Bonjour service: resolution through a real avahi-daemon (confined to a network
// namespace by scripts/with-avahi-namespace.sh), then the RFB session with the Xvnc behind the
// service; and the same without any daemon. CTest runs these suites under that script; run by
// hand without it they skip.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "BonjourResolver.hpp"
#include "RFBClient.hpp"
#include "RFBError.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

RFBConfiguration bonjour(const std::string& name, std::chrono::seconds timeout = 15s) {
    return configurationFor(RFBEndpoint::bonjour(name), timeout);
}

const auto anyFrame = [](const Picture&) { return true; };

// An eventfd standing in for a connection's cancellation descriptor.
class CancelSignal {
  public:
    CancelSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~CancelSignal() { ::close(fd_); }
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;
    int fd() const { return fd_; }
    void raise() const {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd_, &one, sizeof one);
    }

  private:
    int fd_;
};

std::optional<RFBError> resolutionError(const std::string& name, std::chrono::milliseconds budget,
                                        int cancelFd) {
    try {
        resolveBonjourService(name, "_rfb._tcp", "local.", Clock::now() + budget, cancelFd);
    } catch (const RFBError& error) {
        return error;
    }
    return std::nullopt;
}

class BonjourConnectTest : public testing::Test {
  protected:
    static constexpr const char* hostName = "tessaral-xvnc.local";
    static constexpr const char* serviceName = "Tessaral Xvnc";

    // One Xvnc for the suite, advertised under a host name of its own that resolves to the
    // loopback address it listens on.
    static void SetUpTestSuite() {
        if (!available()) {
            return;
        }
        server = new RealServer(ServerOptions{.desktopName = "Bonjour desktop"});
        publishers = new std::vector<Process>();
        const std::string log = server->directory().file("avahi-publish.log");
        publishers->push_back(Process::spawn(
            {"avahi-publish", "--address", "--no-reverse", hostName, "127.0.0.1"}, {}, log));
        publishers->push_back(
            Process::spawn({"avahi-publish", "--service", "--host", hostName, serviceName,
                            "_rfb._tcp", std::to_string(server->port())},
                           {}, log));
    }

    static void TearDownTestSuite() {
        delete publishers;  // stops avahi-publish, which withdraws the records
        publishers = nullptr;
        delete server;
        server = nullptr;
    }

    static bool available() {
        return environment("TESSARAL_AVAHI_DAEMON") == "running" &&
               !environment("TESSARAL_AVAHI_NAMESPACE").empty();
    }

    void SetUp() override {
        if (!available()) {
            GTEST_SKIP() << "needs an avahi-daemon of its own: run under "
                            "scripts/with-avahi-namespace.sh";
        }
        ASSERT_NE(server, nullptr);
    }

    // Probing a new name takes the daemon a moment; until then resolution fails.
    static std::optional<ResolvedService> resolveWhenPublished() {
        CancelSignal never;
        std::optional<ResolvedService> found;
        waitUntil(
            [&] {
                try {
                    found = resolveBonjourService(serviceName, "_rfb._tcp", "local.",
                                                  Clock::now() + 2s, never.fd());
                } catch (const RFBError&) {
                }
                return found.has_value();
            },
            20s);
        return found;
    }

    static RealServer* server;
    static std::vector<Process>* publishers;
};

RealServer* BonjourConnectTest::server = nullptr;
std::vector<Process>* BonjourConnectTest::publishers = nullptr;

TEST_F(BonjourConnectTest, SessionReachesTheServerBehindThePublishedService) {
    std::optional<ResolvedService> resolved = resolveWhenPublished();
    ASSERT_TRUE(resolved.has_value()) << server->log();
    EXPECT_EQ(*resolved, (ResolvedService{"127.0.0.1", std::uint16_t(server->port()), hostName}));

    Outcome outcome = attempt(bonjour(serviceName), anyFrame);
    ASSERT_TRUE(outcome.info.has_value()) << outcome.describe();
    EXPECT_EQ(outcome.info->name, "Bonjour desktop");
    EXPECT_EQ(outcome.info->width, 493);
    EXPECT_TRUE(outcome.frame.has_value());
    EXPECT_FALSE(outcome.error) << outcome.describe();
}

TEST_F(BonjourConnectTest, AMissingServiceCostsNoMoreThanTheConnectTimeOut) {
    // The daemon's own resolver gives up after several seconds; a shorter connect time-out ends
    // the attempt first, with the time-out.
    Outcome outcome = attempt(bonjour("Nobody By This Name", 2s), anyFrame);
    ASSERT_TRUE(outcome.error.has_value()) << outcome.describe();
    EXPECT_EQ(*outcome.error, RFBError::timedOut());
    EXPECT_GE(outcome.elapsed, 1900ms);
    EXPECT_LT(outcome.elapsed, 3500ms);

    // Given longer, the daemon's own verdict arrives, in its words.
    auto start = Clock::now();
    std::optional<RFBError> error =
        resolutionError("Nobody By This Name", 15s, CancelSignal().fd());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), RFBError::Kind::connectionFailed);
    EXPECT_EQ(error->errorDescription(), "The connection failed: Timeout reached");
    EXPECT_LT(Clock::now() - start, 12s);
}

TEST_F(BonjourConnectTest, CancellationEndsAResolutionAtOnce) {
    CancelSignal cancel;
    std::thread canceller([&] {
        std::this_thread::sleep_for(300ms);
        cancel.raise();
    });
    auto start = Clock::now();
    EXPECT_THROW(resolveBonjourService("Nobody By This Name", "_rfb._tcp", "local.",
                                       Clock::now() + 10s, cancel.fd()),
                 Cancelled);
    auto elapsed = Clock::now() - start;
    canceller.join();
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 1500ms);

    // A session stopped while resolving ends without an error, promptly.
    RFBClient client(bonjour("Nobody By This Name"));
    client.start();
    std::this_thread::sleep_for(300ms);
    start = Clock::now();
    client.stop();
    std::optional<event::Disconnected> ended;
    while (!ended && Clock::now() - start < 5s) {
        if (auto event = client.events().next(50ms)) {
            if (auto* disconnected = std::get_if<event::Disconnected>(&*event)) {
                ended = *disconnected;
            }
        }
    }
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->error, std::nullopt);
    EXPECT_LT(Clock::now() - start, 1500ms);
}

// No avahi-daemon: the namespace's own system bus without one, or no system bus at all.
class BonjourNoDaemonTest : public testing::Test {
  protected:
    void SetUp() override {
        if (environment("TESSARAL_AVAHI_DAEMON") != "none") {
            GTEST_SKIP() << "needs TESSARAL_AVAHI_DAEMON=none and no avahi-daemon";
        }
    }
};

TEST_F(BonjourNoDaemonTest, ConnectingFailsAtOnceWithAvahisText) {
    CancelSignal never;
    std::optional<RFBError> error = resolutionError("Office Mac", 10s, never.fd());
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, RFBError::connectionFailed("Daemon not running"));

    Outcome outcome = attempt(bonjour("Office Mac"), anyFrame, 10s);
    ASSERT_TRUE(outcome.error.has_value()) << outcome.describe();
    EXPECT_EQ(outcome.error->errorDescription(), "The connection failed: Daemon not running");
    EXPECT_LT(outcome.elapsed, 2s);
}

}  // namespace
