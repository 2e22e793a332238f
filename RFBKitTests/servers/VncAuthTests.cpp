// VNC authentication (security type 2) against Xvnc and x11vnc, each reading a password file
// made by vncpasswd.

#include <gtest/gtest.h>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

// Eight bytes: the most a VNC password holds, so that longer ones show their cut.
const std::string storedPassword = "abcdefgh";

std::optional<RFBError> errorWith(const RealServer& server,
                                  std::optional<RFBCredentials> credentials) {
    return attempt(configurationFor(server.endpoint(), 15s, std::move(credentials))).error;
}

struct PasswordServer {
    ServerKind kind;
    std::string version;        // empty: the newest
    std::string failureReason;  // sent after a wrong password
};

class VncAuth : public testing::TestWithParam<PasswordServer> {};

TEST_P(VncAuth, OnlyTheRightPasswordConnects) {
    const PasswordServer& s = GetParam();
    RealServer server({.kind = s.kind, .version = s.version, .password = storedPassword});
    const Picture screen = server.showPattern();
    // The user name plays no part in type 2 and must not keep the client from choosing it; only
    // the first eight bytes make the key, at both ends.
    for (auto [username, password] : {std::pair{"", storedPassword},
                                      {"someone", storedPassword},
                                      {"", storedPassword + "XYZ"}}) {
        SCOPED_TRACE(username + (":" + password));
        const Outcome outcome =
            attempt(configurationFor(server.endpoint(), 15s, RFBCredentials{username, password}),
                    [&](const Picture& frame) { return frame == screen; });
        ASSERT_TRUE(outcome.info) << outcome.describe() << "\n" << server.log();
        EXPECT_EQ(outcome.info->protocolVersion, s.version.empty() ? "3.8" : s.version);
        EXPECT_EQ(difference(outcome.frame.value_or(Picture()), screen), "");
        EXPECT_FALSE(outcome.error) << outcome.describe();
    }
    // A changed last byte, a prefix (the key's zero padding is no wildcard), case, and empty.
    for (std::string wrong : {"abcdefgX", "abcdefg", "ABCDEFGH", ""}) {
        EXPECT_EQ(errorWith(server, RFBCredentials{"", wrong}),
                  RFBError::authenticationFailed(s.failureReason))
            << wrong;
    }
    EXPECT_EQ(errorWith(server, std::nullopt),
              RFBError::credentialsRequired(RFBCredentialKind::password));
}

// Before 3.8 the server gives no reason, but its SecurityResult still follows type 2.
INSTANTIATE_TEST_SUITE_P(
    Servers, VncAuth,
    testing::Values(PasswordServer{ServerKind::xvnc, "", "Authentication failure"},
                    PasswordServer{ServerKind::x11vnc, "", "password check failed!"},
                    PasswordServer{ServerKind::x11vnc, "3.3", ""},
                    PasswordServer{ServerKind::x11vnc, "3.7", ""}),
    [](const auto& p) {
        return (p.param.kind == ServerKind::xvnc ? "Xvnc" : "x11vnc") +
               (p.param.version.empty() ? "" : "_" + versionName(p.param.version));
    });

}  // namespace
