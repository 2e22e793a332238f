#include <gtest/gtest.h>

#include <variant>

#include "FakeServer.hpp"
#include "Security.hpp"

using namespace rfb;
using namespace rfbtest;

TEST(Handshake, ExactBytesAndEventOrderWithSecurityNone) {
    DrivenClient run;
    run.client.start();  // ignored: the client is running
    run.peer->write(text("RFB 003.008\n") + Bytes{2, 2, 1} + u32(0) +
                    serverInit(1280, 800, "Büro"));
    const Bytes fromClient = run.peer->read(12 + 1 + 1 + 90);  // up to the session start
    auto& client = run.client;
    std::vector<RFBEvent> events;
    ASSERT_TRUE(waitFor<event::FrameAvailable>(client, 10s, &events));
    client.stop();
    auto rest = drainEvents(client);

    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(std::get<event::Status>(events[0]).status, RFBStatus::connecting);
    EXPECT_EQ(std::get<event::Status>(events[1]).status, RFBStatus::authenticating);
    EXPECT_EQ(std::get<event::Connected>(events[2]).info,
              (RFBServerInfo{"Büro", 1280, 800, "3.8", false}));
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_FALSE(finalError(rest));
    EXPECT_TRUE(client.events().ended());
    EXPECT_FALSE(client.events().next(10ms)) << "nothing follows disconnected";

    EXPECT_EQ(fromClient, (text("RFB 003.008\n") + Bytes{1, 1, 0, 0, 0, 0} +
                           Bytes().raw(PixelFormat::rgb888.encoded()) + Bytes{2, 0, 0, 14} +
                           u32(7) + u32(16) + u32(5) + u32(2) + u32(1) + u32(0) + u32(-223) +
                           u32(-224) + u32(-312) + u32(-313) + u32(-239) + u32(0xC0A1E5CE) +
                           u32(-308) + u32(-258) + Bytes{3, 0, 0, 0, 0, 0, 5, 0, 3, 32}));
    auto frame = client.takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1280);
    EXPECT_EQ(frame->pixel(1279, 799), 0xFF000000u);
}

// 3.3 and 3.7 are the x11vnc runs', 3.8 the exact-bytes test's; this is also the longest
// desktop name a client takes.
TEST(Handshake, AnswersAndReportsTheServersVersion) {
    const std::string name(4096, 'n');
    for (auto [server, answer, version] : {std::tuple{"RFB 003.005\n", "RFB 003.003\n", "3.5"},
                                           {"RFB 003.889\n", "RFB 003.008\n", "3.889"}}) {
        const int minor = std::stoi(std::string(server).substr(8, 3));
        DrivenClient run;
        run.peer->write(text(server));
        EXPECT_EQ(run.peer->read(12), text(answer));
        // Security None: chosen by the server before 3.7, from a list with a result from 3.8 on.
        run.peer->write((minor >= 8 ? Bytes{1, 1} + u32(0) : u32(1)) + serverInit(8, 8, name));
        auto connected = waitFor<event::Connected>(run.client);
        ASSERT_TRUE(connected) << server;
        EXPECT_EQ(connected->info, (RFBServerInfo{name, 8, 8, version, minor == 889}));
    }
}

// The strongest type that can be used with the credentials at hand; VeNCrypt and TLS ask for
// theirs once inside.
TEST(Handshake, ChoosesTheStrongestSecurityTypeItCanUse) {
    const RFBCredentials named{"ann", "pw"}, anonymous{"", ""};
    using E = RFBError;
    const struct {
        std::vector<std::uint8_t> offered;
        std::optional<RFBCredentials> credentials;
        bool requireEncryption;
        std::variant<int, RFBError> expected;
    } cases[] = {
        {{1, 2}, std::nullopt, false, 1},
        {{30, 2}, named, false, 30},
        {{30, 2}, anonymous, false, 2},
        {{2, 1}, anonymous, false, 2},
        {{30, 1}, anonymous, false, 1},
        {{2, 19, 18}, std::nullopt, false, 19},
        {{2, 18}, named, false, 18},
        {{30, 2}, std::nullopt, false, E::credentialsRequired(RFBCredentialKind::password)},
        {{30}, anonymous, false, E::credentialsRequired(RFBCredentialKind::usernameAndPassword)},
        {{1, 2, 30}, named, true, E::encryptionRequired()},
        {{2, 18}, anonymous, true, 18},
        {{16, 17}, std::nullopt, false, E::noSupportedSecurityType({16, 17})},
        // RSA-AES: the encrypting types between VeNCrypt and TLS, the others below TLS; all ask
        // for credentials inside.
        {{5, 18, 129, 2}, std::nullopt, false, 129},
        {{129, 19}, std::nullopt, false, 19},
        {{18, 5}, std::nullopt, false, 5},
        {{6, 18, 130}, std::nullopt, false, 18},
        {{6, 30, 130}, named, false, 130},
        {{2, 30, 6}, std::nullopt, false, 6},
        {{130, 6, 2}, named, true, E::encryptionRequired()},
    };
    for (const auto& [offered, credentials, requireEncryption, expected] : cases) {
        RFBConfiguration configuration;
        configuration.credentials = credentials;
        configuration.requireEncryption = requireEncryption;
        std::variant<int, RFBError> chosen = 0;
        try {
            chosen = chooseSecurityType(offered, configuration);
        } catch (const RFBError& error) {
            chosen = error;
        }
        EXPECT_EQ(chosen, expected) << ::testing::PrintToString(offered);
    }
}

// Whatever a server does wrong, the session ends with the error that names it, logged once.
TEST(ServerFaults, EndTheSessionWithTheirErrorLoggedOnce) {
    struct Fault {
        Bytes fromServer;
        RFBError expected;
        std::optional<RFBCredentials> credentials = std::nullopt;
        bool requireEncryption = false;
    };
    const Bytes v33 = text("RFB 003.003\n"), v37 = text("RFB 003.007\n"),
                v38 = text("RFB 003.008\n");
    // Security refused with a reason to follow; security None accepted, ServerInit to follow.
    const Bytes refused = v38 + Bytes{0}, accepted = v38 + Bytes{1, 1} + u32(0);
    const Bytes started = accepted + serverInit(4, 4, "");
    const Bytes veNCrypt = v38 + Bytes{1, 19};
    // Type 5 chosen; an odd modulus and a small exponent, enough for the client to encrypt to.
    const Bytes ra2 = v38 + Bytes{1, 5},
                key = u32(1024) + Bytes(128, 0xFF) + Bytes(127, 0) + Bytes{3};
    const RFBCredentials named{"ann", "pw"};
    using E = RFBError;
    const auto password = RFBCredentialKind::password;
    const auto malformed = &E::protocolViolation;
    const Fault faults[] = {
        // Versions not spoken are named by their trimmed text.
        {text("RFB 004.000\n"), E::unsupportedVersion("RFB 004.000")},
        {text("RFB 003.002\n"), E::unsupportedVersion("RFB 003.002")},
        {text("RFB 003.008 "), E::unsupportedVersion("RFB 003.008")},
        {text("XYZ 003.008\n"), E::unsupportedVersion("XYZ 003.008")},
        {text("RFB 0x3.008\n"), E::unsupportedVersion("RFB 0x3.008")},
        // Refusals and security types this client cannot use; failed authentication and missing
        // credentials against real servers are the password and ARD server runs'.
        {refused + u32(4) + text("busy"), E::serverRefused("busy")},
        {refused + u32(0), E::serverRefused("")},
        {v33 + u32(0) + u32(3) + text("no!"), E::serverRefused("no!")},
        {v33 + u32(256), E::noSupportedSecurityType({})},
        {v33 + u32(16), E::noSupportedSecurityType({16})},
        {v33 + u32(2), E::credentialsRequired(password)},
        {v33 + u32(2), E::encryptionRequired(), named, true},
        {v37 + Bytes{2, 30, 2}, E::credentialsRequired(password)},
        {v37 + Bytes{2, 17, 16}, E::noSupportedSecurityType({17, 16}), named},
        // VeNCrypt: its version, its list of subtypes, and a password never sent in clear.
        {veNCrypt + Bytes{0, 1}, malformed("VeNCrypt version 0.1")},
        {veNCrypt + Bytes{0, 2, 1}, malformed("VeNCrypt version refused")},
        {veNCrypt + Bytes{0, 2, 0, 0}, malformed("VeNCrypt subtype count 0")},
        {veNCrypt + Bytes{0, 2, 0, 33}, malformed("VeNCrypt subtype count 33")},
        {veNCrypt + Bytes{0, 2, 0, 1} + u32(256), E::passwordInClearText(), named},
        {veNCrypt + Bytes{0, 2, 0, 1} + u32(263), E::noSupportedSecurityType({19})},
        {veNCrypt + Bytes{0, 2, 0, 1} + u32(258), E::credentialsRequired(password)},
        {veNCrypt + Bytes{0, 2, 0, 1} + u32(257) + Bytes{0}, E::serverRefused("")},
        {veNCrypt + Bytes{0, 2, 0, 1} + u32(257) + Bytes{1} + text("HTTP/1.1 400\r\n"),
         E::secureConnectionFailed("the TLS handshake failed (An unexpected TLS packet was "
                                   "received.)")},
        // Server texts: invalid UTF-8 is replaced, and lengths are limited before the text is read.
        {refused + u32(3) + Bytes{'a', 0xFF, 'b'}, E::serverRefused("a\uFFFDb")},
        {refused + u32(65'536) + Bytes(65'536, 'r'), E::serverRefused(std::string(65'536, 'r'))},
        {refused + u32(65'537) + Bytes(65'537, 'r'), malformed("string length 65537")},
        {refused + u32(0xFFFFFFFF) + Bytes(70'000, 'r'), malformed("string length 4294967295")},
        {accepted + serverInit(4, 4, std::string(4097, 'n')), malformed("string length 4097")},
        {accepted + serverInit(0, 768, ""), malformed("framebuffer size 0\u00D7768")},
        // RSA-AES keys out of range or no RSA keys, and a server random encrypted to no key of
        // the client's size or to none at all; lies inside the records are rsa_aes_server.py's.
        {ra2 + u32(1023), malformed("RSA key size 1023")},
        {v38 + Bytes{1, 129} + u32(8193), malformed("RSA key size 8193")},
        {ra2 + u32(1024) + Bytes(256, 0), malformed("RSA key")},
        {ra2 + key + u16(257) + Bytes(257, 1), malformed("RSA-AES random length 257")},
        {ra2 + key + u16(256) + Bytes(256, 0),
         E::secureConnectionFailed("the server’s random could not be decrypted")},
        // Messages of the running session.
        {started + Bytes{4}, malformed("message type 4")},
        {started + Bytes{3, 0, 0, 0} + u32(10'485'761), malformed("clipboard length 10485761")},
        {started + Bytes{0, 0} + u16(1) + rect(0, 0, 1, 1, 9), malformed("encoding 9")},
        {started + Bytes{0, 0} + u16(1) + rect(0, 0, 1, 1, -1), malformed("encoding -1")},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.expected.errorDescription().substr(0, 100));
        LogCapture log;
        FakeServer server([&](Peer& peer) {
            peer.write(fault.fromServer);
            peer.waitForClose();
        });
        RFBConfiguration configuration = configurationFor(server.endpoint(), 5s, fault.credentials);
        configuration.requireEncryption = fault.requireEncryption;
        EXPECT_EQ(errorOfRun(configuration), fault.expected);
        server.join();
        EXPECT_EQ(log.lines(),
                  (decltype(log.lines()){
                      {LogLevel::error, "Disconnected: " + fault.expected.errorDescription()}}));
    }
}
