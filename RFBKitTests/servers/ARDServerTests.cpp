// The client against ard_server.py, a type-30 server whose Diffie-Hellman arithmetic, MD5 and AES
// are Python's and Cryptodome's rather than the client's. Each test starts its own server and
// stops it by process id.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

const std::string serverScript = TESSARAL_ARD_SERVER;

class ARDServer {
  public:
    explicit ARDServer(const std::string& mode, const std::string& types = "30,2") {
        // Cryptodome is packaged for the system interpreter only.
        process_ =
            Process::spawn({"/usr/bin/python3", serverScript, "--port", "0", "--username", "tester",
                            "--password", "secret", "--types", types, "--mode", mode},
                           {}, directory_.file("server.log"));
        const bool listening = waitUntil(
            [&] {
                std::ifstream log(directory_.file("server.log"));
                std::string word;
                if (log >> word && word == "PORT" && log >> port_) {
                    return true;
                }
                return !process_.running();
            },
            20s);
        if (!listening || port_ == 0) {
            throw std::runtime_error("ard_server.py did not start:\n" + log());
        }
    }

    RFBConfiguration configuration(std::optional<RFBCredentials> credentials) const {
        return configurationFor(RFBEndpoint::host("127.0.0.1", port_), 10s, std::move(credentials));
    }

    long port() const { return port_; }
    const TemporaryDirectory& directory() const { return directory_; }

    std::string log() const {
        std::ifstream file(directory_.file("server.log"));
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    TemporaryDirectory directory_;
    Process process_;
    long port_ = 0;
};

Outcome attempt(const ARDServer& server, std::optional<RFBCredentials> credentials) {
    return rfbtest::attempt(server.configuration(std::move(credentials)));
}

const RFBCredentials rightCredentials{"tester", "secret"};

class ARDServerAccepts : public testing::TestWithParam<const char*> {};

TEST_P(ARDServerAccepts, TheRightUserAndPassword) {
    ARDServer server(GetParam());
    const Outcome outcome = attempt(server, rightCredentials);
    ASSERT_TRUE(outcome.info) << outcome.describe() << "\n" << server.log();
    EXPECT_EQ(*outcome.info, (RFBServerInfo{"ard-test", 64, 48, "3.889", true}));
    EXPECT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.error) << outcome.describe();
    EXPECT_NE(server.log().find("accepted"), std::string::npos) << server.log();
}

// The 1024-bit group, both ends of the key-length range, and a server key above the prime.
INSTANTIATE_TEST_SUITE_P(Keys, ARDServerAccepts,
                         testing::Values("normal", "key16", "key512", "bigkey"),
                         [](const auto& test) { return std::string(test.param); });

TEST(ARDServer, RefusesWrongCredentialsWithTheServersReason) {
    ARDServer server("normal");
    for (const RFBCredentials& wrong :
         {RFBCredentials{"tester", "Secret"}, RFBCredentials{"someone", "secret"},
          RFBCredentials{"tester", ""}}) {
        const Outcome outcome = attempt(server, wrong);
        ASSERT_TRUE(outcome.error) << outcome.describe();
        EXPECT_EQ(*outcome.error, RFBError::authenticationFailed(
                                      "Authentication failed: wrong user name or password."))
            << outcome.describe();
    }
}

TEST(ARDServer, CredentialsTheClientCannotSend) {
    ARDServer server("normal", "30");
    Outcome outcome = attempt(server, RFBCredentials{"", "secret"});
    ASSERT_TRUE(outcome.error) << outcome.describe();
    EXPECT_EQ(*outcome.error,
              RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword));

    outcome = attempt(server, RFBCredentials{"tester", std::string(64, 'p')});
    ASSERT_TRUE(outcome.error) << outcome.describe();
    EXPECT_EQ(*outcome.error,
              RFBError::authenticationFailed("The username or password is too long."));
}

TEST(ARDServer, WithoutAUserNameFallsBackToThePasswordType) {
    ARDServer server("normal", "30,2");
    Outcome outcome = attempt(server, RFBCredentials{"", "secret"});
    EXPECT_TRUE(outcome.info) << outcome.describe() << "\n" << server.log();
    EXPECT_NE(server.log().find("type 2"), std::string::npos) << server.log();

    outcome = attempt(server, RFBCredentials{"", "wrong"});
    ASSERT_TRUE(outcome.error) << outcome.describe();
    EXPECT_EQ(outcome.error->kind(), RFBError::Kind::authenticationFailed);
}

struct BadInput {
    const char* mode;
    RFBError error;
};

class ARDServerBadInput : public testing::TestWithParam<BadInput> {};

TEST_P(ARDServerBadInput, EndsTheConnectionWithTheRightError) {
    ARDServer server(GetParam().mode);
    const Outcome outcome = attempt(server, rightCredentials);
    EXPECT_FALSE(outcome.info);
    ASSERT_TRUE(outcome.error) << outcome.describe();
    EXPECT_EQ(*outcome.error, GetParam().error)
        << outcome.describe() << " instead of " << GetParam().error.errorDescription();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ARDServerBadInput,
    testing::Values(BadInput{"keylen15", RFBError::protocolViolation("ARD key length")},
                    BadInput{"keylen513", RFBError::protocolViolation("ARD key length")},
                    BadInput{"keylen0", RFBError::protocolViolation("ARD key length")},
                    BadInput{"evenprime", RFBError::protocolViolation("ARD prime")},
                    BadInput{"close-after-challenge", RFBError::connectionClosed()},
                    BadInput{"truncated", RFBError::connectionClosed()},
                    // 0xFF bytes where ServerInit belongs: the desktop name length is 2^32 - 1.
                    BadInput{"garbage-after-result",
                             RFBError::protocolViolation("string length 4294967295")}),
    [](const auto& test) {
        std::string name = test.param.mode;
        std::erase(name, '-');
        return name;
    });

// tessaral-snapshot logs in with a user name and a password that never appears in its arguments.
TEST(ARDServer, SnapshotToolLogsInWithTheUserAndThePasswordFile) {
    ARDServer server("normal", "30");
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    const std::string png = server.directory().file("out.png");
    auto passwordFile = [&](const std::string& password) {
        std::string path = server.directory().file("password");
        std::ofstream(path) << password << "\n";
        return path;
    };
    auto snapshot = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {TESSARAL_SNAPSHOT, "--stats"});
        arguments.insert(arguments.end(), {png});
        return run(arguments, {}, 60s);
    };

    CommandResult result =
        snapshot({"--username", "tester", "--password-file", passwordFile("secret"), address});
    ASSERT_EQ(result.exitCode, 0) << result.err << "\n" << server.log();
    EXPECT_NE(result.out.find("Server: ard-test\nProtocol version: 3.889\nSize: 64x48\n"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(std::filesystem::exists(png));

    // The user name may come with the address instead.
    result = snapshot({"--password-file", passwordFile("secret"), "vnc://tester@" + address});
    EXPECT_EQ(result.exitCode, 0) << result.err << "\n" << server.log();

    result = snapshot({"--username", "tester", "--password-file", passwordFile("Secret"), address});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, "Authentication failed: wrong user name or password.\n");

    // Type 30 needs a user name, and standard input is no terminal to ask on.
    result = snapshot({"--password-file", passwordFile("secret"), address});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.err, "Authentication is required.\n");
}

}  // namespace
