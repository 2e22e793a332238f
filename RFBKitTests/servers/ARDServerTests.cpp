// The client against ard_server.py, a type-30 server whose Diffie-Hellman arithmetic, MD5 and AES
// are Python's and Cryptodome's rather than the client's.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

const RFBCredentials tester{"tester", "secret"};
const auto wrongCredentials =
    RFBError::authenticationFailed("Authentication failed: wrong user name or password.");

struct ARDServer {
    TemporaryDirectory directory;
    // Cryptodome is packaged for the system interpreter only.
    Process process;
    int port = 0;

    explicit ARDServer(const std::string& mode, const std::string& types = "30,2")
        : process(Process::spawn(
              {"/usr/bin/python3", TESSARAL_ARD_SERVER, "--types", types, "--mode", mode}, {},
              directory.file("server.log"))) {
        waitUntil(
            [&] { return std::sscanf(log().c_str(), "PORT %d", &port) == 1 || !process.running(); },
            20s);
        if (port == 0) {
            throw std::runtime_error("ard_server.py did not start:\n" + log());
        }
    }
    std::string log() const { return fileText(directory.file("server.log")); }
    std::unique_ptr<Viewer> attempt(std::optional<RFBCredentials> credentials) const {
        return rfbtest::attempt(
            configurationFor(RFBEndpoint::host("127.0.0.1", port), 10s, std::move(credentials)));
    }
};

TEST(ARDServer, WrongOrUnsendableCredentialsEndWithTheirError) {
    ARDServer server("normal", "30");
    const std::pair<RFBCredentials, RFBError> cases[] = {
        {{"tester", "Secret"}, wrongCredentials},
        {{"someone", "secret"}, wrongCredentials},
        {{"tester", ""}, wrongCredentials},
        {{"", "secret"}, RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword)},
        {{"tester", std::string(64, 'p')},
         RFBError::authenticationFailed("The username or password is too long.")},
    };
    for (const auto& [credentials, error] : cases) {
        EXPECT_EQ(server.attempt(credentials)->error, error) << credentials.username;
    }
}

TEST(ARDServer, WithoutAUserNameFallsBackToThePasswordType) {
    ARDServer server("normal", "30,2");
    EXPECT_TRUE(server.attempt(RFBCredentials{"", "secret"})->info) << server.log();
    EXPECT_NE(server.log().find("type 2"), std::string::npos) << server.log();
    EXPECT_EQ(server.attempt(RFBCredentials{"", "wrong"})->error, wrongCredentials);
}

// Modes the client accepts (the 1024-bit group, both ends of the key-length range, a server
// key above the prime) and ones it must end with their error.
struct Mode {
    const char* name;
    std::optional<RFBError> error = std::nullopt;
};

class ARDServerModes : public testing::TestWithParam<Mode> {};

TEST_P(ARDServerModes, EndAsTheServerBehaves) {
    ARDServer server(GetParam().name);
    const auto outcome = server.attempt(tester);
    EXPECT_EQ(outcome->endReason(), describe(GetParam().error)) << server.log();
    if (!GetParam().error) {
        ASSERT_TRUE(outcome->info);
        EXPECT_EQ(*outcome->info, (RFBServerInfo{"ard-test", 64, 48, "3.889", true}));
        EXPECT_NE(server.log().find("accepted"), std::string::npos) << server.log();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ARDServerModes,
    testing::Values(Mode{"normal"}, Mode{"key16"}, Mode{"key512"}, Mode{"bigkey"},
                    Mode{"keylen15", RFBError::protocolViolation("ARD key length")},
                    Mode{"keylen513", RFBError::protocolViolation("ARD key length")},
                    Mode{"keylen0", RFBError::protocolViolation("ARD key length")},
                    Mode{"evenprime", RFBError::protocolViolation("ARD prime")},
                    Mode{"close_after_challenge", RFBError::connectionClosed()},
                    Mode{"truncated", RFBError::connectionClosed()},
                    // 0xFF bytes where ServerInit belongs: a desktop name of 2^32 - 1 bytes.
                    Mode{"garbage_after_result",
                         RFBError::protocolViolation("string length 4294967295")}),
    [](const auto& test) { return std::string(test.param.name); });

// tessaral-snapshot logs in with a user name and a password that never is among its arguments.
TEST(ARDServer, SnapshotToolLogsInWithTheUserAndThePasswordFile) {
    ARDServer server("normal", "30");
    const std::string address = "127.0.0.1:" + std::to_string(server.port);
    const std::string png = server.directory.file("out.png"), right = server.directory.file("r"),
                      wrong = server.directory.file("w");
    std::ofstream(right) << "secret\n";
    std::ofstream(wrong) << "Secret\n";
    // Type 30 needs a user name, and standard input is no terminal to ask for one on.
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--username", "tester", "--password-file", right, address}, 0, ""},
        {{"--password-file", right, "vnc://tester@" + address}, 0, ""},
        {{"--username", "tester", "--password-file", wrong, address},
         3,
         "Authentication failed: wrong user name or password.\n"},
        {{"--password-file", right, address}, 3, "Authentication is required.\n"},
    };
    for (auto [arguments, code, error] : cases) {
        arguments.insert(arguments.begin(), {TESSARAL_SNAPSHOT, "--stats"});
        arguments.push_back(png);
        const CommandResult result = run(arguments, {}, 60s);
        EXPECT_EQ(result.exitCode, code) << result.err << server.log();
        EXPECT_EQ(result.err, error);
        EXPECT_EQ(
            result.out.starts_with("Server: ard-test\nProtocol version: 3.889\nSize: 64x48\n"),
            code == 0)
            << result.out;
    }
    EXPECT_TRUE(std::filesystem::exists(png));
}

}  // namespace
