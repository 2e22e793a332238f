#include <gtest/gtest.h>

#include "Authentication.hpp"
#include "FakeServer.hpp"
#include "Log.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

std::optional<RFBError> runAgainst(FakeServer& server,
                                   std::optional<RFBCredentials> credentials = std::nullopt) {
    RFBConfiguration configuration = configurationFor(server.endpoint());
    configuration.credentials = std::move(credentials);
    RFBClient client(configuration);
    client.start();
    auto events = drainEvents(client);
    server.join();
    return finalError(events);
}

template <typename E>
bool is(const RFBEvent& event) {
    return std::holds_alternative<E>(event);
}

}  // namespace

TEST(Handshake, ExactBytesAndEventOrderWithSecurityNone) {
    SessionStart start;
    Bytes clientVersion, choice, clientInit;
    FakeServer server([&](Peer& peer) {
        peer.write(text("RFB 003.008\n"));
        clientVersion = peer.read(12);
        peer.write({2, 2, 1});
        choice = peer.read(1);
        peer.write(u32(0));
        clientInit = peer.read(1);
        peer.write(serverInit(1280, 800, "Büro"));
        start = readSessionStart(peer);
        peer.waitForClose();
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    std::vector<RFBEvent> events;
    while (events.size() < 4) {
        auto event = client.events().next(std::chrono::seconds(10));
        ASSERT_TRUE(event);
        events.push_back(*event);
    }
    client.stop();
    auto rest = drainEvents(client);
    server.join();

    EXPECT_EQ(std::get<event::Status>(events[0]).status, RFBStatus::connecting);
    EXPECT_EQ(std::get<event::Status>(events[1]).status, RFBStatus::authenticating);
    EXPECT_EQ(std::get<event::Connected>(events[2]).info,
              (RFBServerInfo{"Büro", 1280, 800, "3.8", false}));
    EXPECT_TRUE(is<event::FrameAvailable>(events[3]));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_FALSE(finalError(rest));

    EXPECT_EQ(clientVersion, text("RFB 003.008\n"));
    EXPECT_EQ(choice, Bytes{1});
    EXPECT_EQ(clientInit, Bytes{1});
    auto format = PixelFormat::rgb888.encoded();
    EXPECT_EQ(start.setPixelFormat, Bytes({0, 0, 0, 0}) + Bytes(format.begin(), format.end()));
    EXPECT_EQ(start.setEncodings, Bytes({2, 0, 0, 8}) + s32(16) + s32(5) + s32(2) + s32(1) +
                                      s32(0) + s32(-223) + s32(-224) + s32(-239));
    EXPECT_EQ(start.request, Bytes({3, 0, 0, 0, 0, 0, 5, 0, 3, 32}));

    auto frame = client.takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1280);
    EXPECT_EQ(frame->pixel(1279, 799), 0xFF000000u);
}

struct VersionCase {
    const char* server;
    const char* answer;
    const char* protocolVersion;
};

class VersionNegotiation : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionNegotiation, AnswersAndReportsVersion) {
    const VersionCase& c = GetParam();
    long minor = std::stol(std::string(c.server).substr(8, 3));
    Bytes answer;
    FakeServer server([&](Peer& peer) {
        peer.write(text(c.server));
        answer = peer.read(12);
        if (minor >= 7) {
            peer.write({1, 1});
            peer.read(1);
        } else {
            peer.write(u32(1));
        }
        if (minor >= 8) {
            peer.write(u32(0));  // only 3.8 and later send a result for None
        }
        peer.read(1);
        peer.write(serverInit(8, 8, "v"));
        readSessionStart(peer);
        peer.close();
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    auto connected = waitFor<event::Connected>(client);
    server.join();
    ASSERT_TRUE(connected) << c.server;
    EXPECT_EQ(answer, text(c.answer));
    EXPECT_EQ(connected->info.protocolVersion, c.protocolVersion);
    EXPECT_EQ(connected->info.isApple, minor == 889);
}

INSTANTIATE_TEST_SUITE_P(Servers, VersionNegotiation,
                         testing::Values(VersionCase{"RFB 003.003\n", "RFB 003.003\n", "3.3"},
                                         VersionCase{"RFB 003.005\n", "RFB 003.003\n", "3.5"},
                                         VersionCase{"RFB 003.007\n", "RFB 003.007\n", "3.7"},
                                         VersionCase{"RFB 003.008\n", "RFB 003.008\n", "3.8"},
                                         VersionCase{"RFB 003.889\n", "RFB 003.008\n", "3.889"}));

TEST(Handshake, RejectsUnsupportedVersionsWithTrimmedText) {
    for (const char* version :
         {"RFB 004.000\n", "RFB 003.002\n", "RFB 003.008 ", "XYZ 003.008\n", "RFB 0x3.008\n"}) {
        FakeServer server([&](Peer& peer) {
            peer.write(text(version));
            peer.waitForClose();
        });
        std::string expected(version);
        while (expected.back() == ' ' || expected.back() == '\n') {
            expected.pop_back();
        }
        EXPECT_EQ(runAgainst(server), RFBError::unsupportedVersion(expected)) << version;
    }
}

TEST(Handshake, ChoosesSecurityType) {
    RFBCredentials named{"ann", "pw"};
    RFBCredentials anonymous{"", ""};
    auto choose = [](std::vector<std::uint8_t> types, std::optional<RFBCredentials> c) {
        return RFBClient::chooseSecurityType(types, c);
    };
    EXPECT_EQ(choose({1, 2}, std::nullopt), 1);
    EXPECT_EQ(choose({30, 2}, named), 30);
    EXPECT_EQ(choose({30, 2}, anonymous), 2);
    EXPECT_EQ(choose({2, 1}, anonymous), 2);
    EXPECT_EQ(choose({30, 1}, anonymous), 1);

    auto failure = [&](std::vector<std::uint8_t> types, std::optional<RFBCredentials> c) {
        try {
            choose(types, c);
        } catch (const RFBError& error) {
            return error;
        }
        throw std::runtime_error("no failure");
    };
    EXPECT_EQ(failure({2, 30}, std::nullopt),
              RFBError::credentialsRequired(RFBCredentialKind::password));
    EXPECT_EQ(failure({30}, anonymous),
              RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword));
    EXPECT_EQ(failure({5, 16}, named), RFBError::noSupportedSecurityType({5, 16}));
    EXPECT_EQ(failure({}, named), RFBError::noSupportedSecurityType({}));
}

TEST(Handshake, ServerRefusalsOldServerChoicesAndServerTexts) {
    struct Case {
        Bytes afterVersion;
        RFBError expected;
    };
    std::vector<std::pair<std::string, Case>> cases = {
        {"RFB 003.008\n", {Bytes{0} + u32(4) + text("busy"), RFBError::serverRefused("busy")}},
        {"RFB 003.008\n", {Bytes{0} + u32(0), RFBError::serverRefused("")}},
        {"RFB 003.003\n", {u32(0) + u32(3) + text("no!"), RFBError::serverRefused("no!")}},
        {"RFB 003.003\n", {u32(256), RFBError::noSupportedSecurityType({})}},
        {"RFB 003.003\n", {u32(16), RFBError::noSupportedSecurityType({16})}},
        {"RFB 003.003\n", {u32(2), RFBError::credentialsRequired(RFBCredentialKind::password)}},
        {"RFB 003.007\n",
         {Bytes{2, 30, 2}, RFBError::credentialsRequired(RFBCredentialKind::password)}},
        // Server texts: invalid UTF-8 is replaced, and lengths are limited before the text is read.
        {"RFB 003.008\n",
         {Bytes{0} + u32(3) + Bytes{'a', 0xFF, 'b'}, RFBError::serverRefused("a\uFFFDb")}},
        {"RFB 003.008\n",
         {Bytes{0} + u32(65'536) + Bytes(65'536, 'r'),
          RFBError::serverRefused(std::string(65'536, 'r'))}},
        {"RFB 003.008\n",
         {Bytes{0} + u32(65'537) + Bytes(65'537, 'r'),
          RFBError::protocolViolation("string length 65537")}},
        {"RFB 003.008\n",
         {Bytes{0} + u32(0xFFFFFFFF) + Bytes(70'000, 'r'),
          RFBError::protocolViolation("string length 4294967295")}},
    };
    for (const auto& entry : cases) {
        const Case& c = entry.second;
        FakeServer server([&](Peer& peer) {
            peer.write(text(entry.first));
            peer.read(12);
            peer.write(c.afterVersion);
            peer.waitForClose();
        });
        EXPECT_EQ(runAgainst(server), c.expected) << c.expected.errorDescription();
    }
}

TEST(Handshake, FailedSecurityResult) {
    // 3.8 sends a reason; older versions give the default sentence.
    for (bool withReason : {true, false}) {
        Bytes response;
        FakeServer server([&](Peer& peer) {
            peer.write(text(withReason ? "RFB 003.008\n" : "RFB 003.007\n"));
            peer.read(12);
            peer.write({1, 2});
            peer.read(1);
            peer.write(Bytes(16, 0x5A));
            response = peer.read(16);
            peer.write(withReason ? u32(1) + u32(6) + text("denied") : u32(1));
            peer.waitForClose();
        });
        EXPECT_EQ(runAgainst(server, RFBCredentials{"", "secret"}),
                  RFBError::authenticationFailed(withReason ? "denied" : ""));
        std::array<std::uint8_t, 16> challenge;
        challenge.fill(0x5A);
        auto expected = VNCAuthentication::response(challenge, "secret");
        EXPECT_EQ(response, Bytes(expected.begin(), expected.end()));
    }
}

TEST(Handshake, DesktopNameLimit) {
    auto nameOf = [](std::size_t length) -> std::variant<RFBServerInfo, RFBError> {
        FakeServer server([&](Peer& peer) {
            peer.write(text("RFB 003.008\n"));
            peer.read(12);
            peer.write({1, 1});
            peer.read(1);
            peer.write(u32(0));
            peer.read(1);
            peer.write(serverInit(4, 4, std::string(length, 'n')));
            peer.waitForClose();
        });
        RFBClient client(configurationFor(server.endpoint()));
        client.start();
        auto events = drainEvents(client, std::chrono::seconds(3));
        client.stop();
        auto rest = drainEvents(client);
        events.insert(events.end(), rest.begin(), rest.end());
        server.join();
        for (const auto& e : events) {
            if (auto* connected = std::get_if<event::Connected>(&e)) {
                return connected->info;
            }
        }
        return *finalError(events);
    };
    EXPECT_EQ(std::get<RFBServerInfo>(nameOf(4096)).name, std::string(4096, 'n'));
    EXPECT_EQ(std::get<RFBError>(nameOf(4097)), RFBError::protocolViolation("string length 4097"));
}

TEST(Handshake, ZeroSizedScreenEndsBeforeSessionStart) {
    bool clientSentNothing = false;
    FakeServer server([&](Peer& peer) {
        acceptWithoutSecurity(peer, 0, 768);
        clientSentNothing = peer.waitForClose();
    });
    EXPECT_EQ(runAgainst(server), RFBError::protocolViolation("framebuffer size 0\u00D7768"));
    EXPECT_TRUE(clientSentNothing);
}

TEST(Handshake, EveryReadSurvivesOneByteRefills) {
    FakeServer server([&](Peer& peer) {
        peer.setChunk(1);
        acceptWithoutSecurity(peer, 3, 2, "slow link");
        readSessionStart(peer);
        // One Raw update of the whole screen.
        Bytes update = Bytes{0, 0} + u16(1) + u16(0) + u16(0) + u16(3) + u16(2) + s32(0);
        for (std::uint8_t i = 0; i < 6; ++i) {
            update = update + Bytes{i, std::uint8_t(i * 2), std::uint8_t(i * 3), 0};
        }
        peer.write(update);
        peer.read(10);
        peer.waitForClose();
    });
    RFBClient client(configurationFor(server.endpoint()));
    client.start();
    auto connected = waitFor<event::Connected>(client);
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->info.name, "slow link");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (client.statistics().updates < 1 && std::chrono::steady_clock::now() < deadline) {
        client.events().next(std::chrono::milliseconds(50));
    }
    auto frame = client.takeFrame();
    client.stop();
    drainEvents(client);
    server.join();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixel(2, 1), 0xFF0F0A05u);
}
