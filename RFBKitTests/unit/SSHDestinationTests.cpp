#include <gtest/gtest.h>

#include "SSHGateway.hpp"

using rfb::SSHDestination;

namespace {

TEST(SSHDestination, ParsesWhatSshTakesAndRefusesWhatCouldBecomeAnOptionOrCommand) {
    const struct {
        std::string text;
        std::optional<SSHDestination> expected;
    } cases[] = {
        {"gate", SSHDestination{"", "gate", {}}},
        {"anna@gate.example.org", SSHDestination{"anna", "gate.example.org", {}}},
        {"a_b@10.0.0.1:2222", SSHDestination{"a_b", "10.0.0.1", 2222}},
        {"[2001:db8::1]:22", SSHDestination{"", "2001:db8::1", 22}},
        {"me@[::1]", SSHDestination{"me", "::1", {}}},
        {"my-bastion", SSHDestination{"", "my-bastion", {}}},
        {"", std::nullopt},
        {"-oProxyCommand=sh", std::nullopt},
        {"anna@-oProxyCommand=sh", std::nullopt},
        {"-l@gate", std::nullopt},
        {"gate -p 1", std::nullopt},
        {"gate;rm -rf ~", std::nullopt},
        {"$(reboot)", std::nullopt},
        {"gate`id`", std::nullopt},
        {"gate|nc", std::nullopt},
        {"gate\n", std::nullopt},
        {"gate:", std::nullopt},
        {"gate:0", std::nullopt},
        {"gate:65536", std::nullopt},
        {"gate:22x", std::nullopt},
        {"@gate", std::nullopt},
        {"a@b@gate", std::nullopt},
        {"[::1", std::nullopt},
        {"[::1]x", std::nullopt},
        {"[gate]:22", std::nullopt},
        {"2001:db8::1", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rfb::parseSSHDestination(c.text), c.expected) << c.text;
    }
}

TEST(SSHDestination, ArgumentsEndOptionsBeforeTheGatewayAndBracketIPv6Targets) {
    using Arguments = std::vector<std::string>;
    EXPECT_EQ(rfb::sshArguments({"anna", "gate", 2222}, "localhost", 5901, true),
              (Arguments{"-l", "anna", "-p", "2222", "-W", "localhost:5901", "--", "gate"}));
    EXPECT_EQ(rfb::sshArguments({"", "gate", {}}, "fe80::1", 5900, false),
              (Arguments{"-o", "BatchMode=yes", "-W", "[fe80::1]:5900", "--", "gate"}));
}

// The causes the real ssh gives in the gateway tests are not repeated here.
TEST(SSHDestination, FailuresNameTheCauseAndQuoteSsh) {
    const struct {
        std::string stderrText, exitText, expected;
    } cases[] = {
        {"Host key verification failed.\r\n", "",
         "The SSH gateway\u2019s host key was not accepted.\nssh: Host key verification failed."},
        {"ssh: Could not resolve hostname nowhere: Name or service not known\n", "",
         "The SSH gateway could not be reached.\nssh: ssh: Could not resolve hostname nowhere: "
         "Name or service not known"},
        {"kex_exchange_identification: read: Connection reset by peer\n", "",
         "The SSH gateway closed the connection.\nssh: kex_exchange_identification: read: "
         "Connection reset by peer"},
        {"something new\n\n", "",
         "The connection through the SSH gateway ended.\nssh: something new"},
        {"Warning: Permanently added 'gate' (ED25519) to the list of known hosts.\r\n",
         "ended by signal 9",
         "The connection through the SSH gateway ended.\nssh: ended by signal 9"},
        {"", "", "The connection through the SSH gateway ended."},
    };
    for (const auto& c : cases) {
        const rfb::RFBError error = rfb::sshFailure(c.stderrText, c.exitText);
        EXPECT_EQ(error.kind(), rfb::RFBError::Kind::gatewayFailed);
        EXPECT_EQ(error.errorDescription(), c.expected);
    }
}

}  // namespace
