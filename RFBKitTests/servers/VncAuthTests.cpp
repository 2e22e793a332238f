// VNC authentication (security type 2) against Xvnc and x11vnc, each reading a password file made
// by vncpasswd. Each test starts its own server and stops it with itself.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "RFBClient.hpp"
#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

// Eight bytes: the most a VNC password can hold, so that longer ones show their cut.
const std::string storedPassword = "abcdefgh";

Outcome attempt(const RealServer& server, std::optional<RFBCredentials> credentials,
                const std::optional<Picture>& screen = std::nullopt) {
    RFBConfiguration configuration =
        configurationFor(server.endpoint(), 15s, std::move(credentials));
    if (!screen) {
        return rfbtest::attempt(configuration);
    }
    return rfbtest::attempt(configuration, [&](const Picture& frame) { return frame == *screen; });
}

struct PasswordServer {
    ServerKind kind;
    // What the server sends in RFB 3.8 after a wrong password.
    std::string failureReason;
};

std::string serverName(const testing::TestParamInfo<PasswordServer>& info) {
    return info.param.kind == ServerKind::xvnc ? "Xvnc" : "x11vnc";
}

ServerOptions withPassword(ServerKind kind, std::vector<std::string> arguments = {}) {
    ServerOptions options;
    options.kind = kind;
    options.password = storedPassword;
    options.arguments = std::move(arguments);
    return options;
}

class VncAuth : public testing::TestWithParam<PasswordServer> {};

TEST_P(VncAuth, TheRightPasswordShowsTheScreen) {
    RealServer server(withPassword(GetParam().kind));
    const Picture screen = server.showPattern();

    // The user name plays no part in type 2, and must not keep the client from choosing it.
    for (const RFBCredentials& credentials :
         {RFBCredentials{"", storedPassword}, RFBCredentials{"someone", storedPassword}}) {
        SCOPED_TRACE(credentials.username);
        const Outcome outcome = attempt(server, credentials, screen);
        ASSERT_TRUE(outcome.info) << outcome.describe() << "\n" << server.log();
        EXPECT_EQ(outcome.info->protocolVersion, "3.8");
        EXPECT_EQ(difference(outcome.frame.value_or(Picture()), screen), "");
        EXPECT_FALSE(outcome.error) << outcome.describe();
    }

    // Only the first eight bytes make the key, at both ends.
    const Outcome longer = attempt(server, RFBCredentials{"", storedPassword + "XYZ"});
    EXPECT_TRUE(longer.info) << longer.describe();
}

TEST_P(VncAuth, AWrongOrMissingPasswordEndsTheConnection) {
    RealServer server(withPassword(GetParam().kind));
    // A changed last byte, a prefix (the key's zero padding is not a wildcard), case, and empty.
    for (std::string wrong : {"abcdefgX", "abcdefg", "ABCDEFGH", ""}) {
        SCOPED_TRACE("\"" + wrong + "\"");
        const Outcome outcome = attempt(server, RFBCredentials{"", wrong});
        EXPECT_FALSE(outcome.info);
        ASSERT_TRUE(outcome.error) << outcome.describe();
        EXPECT_EQ(*outcome.error, RFBError::authenticationFailed(GetParam().failureReason))
            << outcome.describe();
    }

    const Outcome none = attempt(server, std::nullopt);
    EXPECT_FALSE(none.info);
    ASSERT_TRUE(none.error) << none.describe();
    EXPECT_EQ(*none.error, RFBError::credentialsRequired(RFBCredentialKind::password));
    EXPECT_EQ(none.error->errorDescription(), "Authentication is required.");
}

INSTANTIATE_TEST_SUITE_P(Servers, VncAuth,
                         testing::Values(PasswordServer{ServerKind::xvnc, "Authentication failure"},
                                         PasswordServer{ServerKind::x11vnc,
                                                        "password check failed!"}),
                         serverName);

// Before 3.8 the server gives no reason, but its SecurityResult still follows type 2.
class X11vncVncAuthVersions : public testing::TestWithParam<std::string> {};

TEST_P(X11vncVncAuthVersions, ResultWithoutAReason) {
    RealServer server(withPassword(ServerKind::x11vnc, {"-rfbversion", GetParam()}));
    const Outcome right = attempt(server, RFBCredentials{"", storedPassword});
    ASSERT_TRUE(right.info) << right.describe() << "\n" << server.log();
    EXPECT_EQ(right.info->protocolVersion, GetParam());

    const Outcome wrong = attempt(server, RFBCredentials{"", "abcdefgX"});
    ASSERT_TRUE(wrong.error) << wrong.describe();
    EXPECT_EQ(*wrong.error, RFBError::authenticationFailed(""));
    EXPECT_EQ(wrong.error->errorDescription(),
              "Access was denied because of an invalid username or password.");
}

INSTANTIATE_TEST_SUITE_P(Versions, X11vncVncAuthVersions, testing::Values("3.3", "3.7"),
                         [](const auto& p) { return versionName(p.param); });

}  // namespace
