// Connecting to a Bonjour service: resolution through a real avahi-daemon (confined to a network
// namespace by scripts/with-avahi-namespace.sh), then the session with the Xvnc behind the
// service; and the same without any daemon. Run by hand without that script, these skip.

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "BonjourResolver.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

using Clock = std::chrono::steady_clock;

const std::string daemon =
    std::getenv("TESSARAL_AVAHI_DAEMON") ? std::getenv("TESSARAL_AVAHI_DAEMON") : "";
const auto anyFrame = [](const Picture&) { return true; };
const char* const nobody = "Nobody By This Name";

RFBConfiguration bonjour(const std::string& name, std::chrono::seconds timeout = 15s) {
    return configurationFor(RFBEndpoint::bonjour(name), timeout);
}

// Resolves with an eventfd standing in for a connection's cancellation descriptor.
struct Resolution {
    const int cancel = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Resolution() { ::close(cancel); }
    std::optional<ResolvedService> found;
    std::optional<RFBError> error;
    bool cancelled = false;

    Resolution(const std::string& name, std::chrono::milliseconds budget,
               std::chrono::milliseconds cancelAfter = 0ms) {
        std::thread canceller([&] {
            std::this_thread::sleep_for(cancelAfter);
            ::eventfd_write(cancel, cancelAfter > 0ms ? 1 : 0);  // 0: no wake-up
        });
        try {
            found =
                resolveBonjourService(name, "_rfb._tcp", "local.", Clock::now() + budget, cancel);
        } catch (const RFBError& e) {
            error = e;
        } catch (const Cancelled&) {
            cancelled = true;
        }
        canceller.join();
    }
};

// One Xvnc, advertised under a host name of its own that resolves to the loopback address.
class BonjourConnectTest : public testing::Test {
  protected:
    static constexpr const char* hostName = "tessaral-xvnc.local";
    static constexpr const char* serviceName = "Tessaral Xvnc";

    static void SetUpTestSuite() {
        if (daemon == "running" && std::getenv("TESSARAL_AVAHI_NAMESPACE")) {
            server = std::make_unique<RealServer>(ServerOptions{.desktopName = "Bonjour desktop"});
            // Stopped before the server, which withdraws the records.
            server->startX({"avahi-publish", "--address", "--no-reverse", hostName, "127.0.0.1"},
                           "address.log");
            server->startX({"avahi-publish", "--service", "--host", hostName, serviceName,
                            "_rfb._tcp", std::to_string(server->port())},
                           "service.log");
        }
    }
    static void TearDownTestSuite() { server.reset(); }
    void SetUp() override {
        if (!server) {
            GTEST_SKIP() << "needs an avahi-daemon of its own: run under "
                            "scripts/with-avahi-namespace.sh";
        }
    }

    static inline std::unique_ptr<RealServer> server;
};

TEST_F(BonjourConnectTest, SessionReachesTheServerBehindThePublishedService) {
    // Probing a new name takes the daemon a moment; until then resolution fails.
    std::optional<ResolvedService> resolved;
    waitUntil([&] { return (resolved = Resolution(serviceName, 2s).found).has_value(); }, 20s);
    ASSERT_TRUE(resolved.has_value()) << server->log();
    EXPECT_EQ(*resolved, (ResolvedService{"127.0.0.1", std::uint16_t(server->port()), hostName}));

    const auto outcome = attempt(bonjour(serviceName), anyFrame);
    ASSERT_TRUE(outcome->info.has_value()) << outcome->endReason();
    EXPECT_EQ(outcome->info->name, "Bonjour desktop");
    EXPECT_TRUE(outcome->frame().has_value());
    EXPECT_EQ(outcome->endReason(), "no error");
}

TEST_F(BonjourConnectTest, AMissingServiceCostsNoMoreThanTheConnectTimeOut) {
    // The daemon's resolver gives up after several seconds; a shorter time-out ends it first.
    auto start = Clock::now();
    EXPECT_EQ(attempt(bonjour(nobody, 2s), anyFrame)->error, RFBError::timedOut());
    EXPECT_GE(Clock::now() - start, 1900ms);
    EXPECT_LT(Clock::now() - start, 3500ms);

    // Given longer, the daemon's own verdict arrives, in its words.
    start = Clock::now();
    EXPECT_EQ(Resolution(nobody, 15s).error, RFBError::connectionFailed("Timeout reached"));
    EXPECT_LT(Clock::now() - start, 12s);
}

TEST_F(BonjourConnectTest, CancellationEndsAResolutionAtOnce) {
    auto start = Clock::now();
    EXPECT_TRUE(Resolution(nobody, 10s, 300ms).cancelled);
    EXPECT_GE(Clock::now() - start, 250ms);
    EXPECT_LT(Clock::now() - start, 1500ms);

    // A session stopped while resolving ends without an error, promptly.
    Viewer viewer(bonjour(nobody));
    std::this_thread::sleep_for(300ms);
    start = Clock::now();
    EXPECT_EQ(viewer.finish(), "no error");
    EXPECT_LT(Clock::now() - start, 1500ms);
}

// No avahi-daemon: the namespace's own system bus without one, or no system bus at all.
TEST(BonjourNoDaemonTest, ConnectingFailsAtOnceWithAvahisText) {
    if (daemon != "none") {
        GTEST_SKIP() << "needs TESSARAL_AVAHI_DAEMON=none and no avahi-daemon";
    }
    EXPECT_EQ(Resolution("Office Mac", 10s).error,
              RFBError::connectionFailed("Daemon not running"));
    const auto start = Clock::now();
    EXPECT_EQ(attempt(bonjour("Office Mac"), anyFrame, 10s)->error,
              RFBError::connectionFailed("Daemon not running"));
    EXPECT_LT(Clock::now() - start, 2s);
}

}  // namespace
