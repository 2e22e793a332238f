// tessaral-snapshot end to end: the program as a user runs it, against Xvnc.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "RealServers.hpp"

using namespace rfbtest;

namespace {

CommandResult snapshot(const std::vector<std::string>& arguments,
                       std::chrono::milliseconds timeout = 60s) {
    std::vector<std::string> argv = {TESSARAL_SNAPSHOT};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return run(argv, {}, timeout);
}

// Reads a PNG through ImageMagick, which keeps Qt out of the tests.
Picture readPNG(const std::string& png) {
    std::string ppm = png + ".ppm";
    CommandResult converted = run({"convert", png, "-depth", "8", ppm});
    if (converted.exitCode != 0) {
        throw std::runtime_error("convert failed: " + converted.err);
    }
    return readPPM(ppm);
}

std::string address(const RealServer& server) {
    return "127.0.0.1:" + std::to_string(server.port());
}

class Snapshot : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = std::make_unique<RealServer>();
        server->setBackground("#336699");
        server->hideCursor(5, 300);
        server->show(testPattern(320, 200), 37, 23);
        screen = server->capture();
    }
    static void TearDownTestSuite() { server.reset(); }

    std::string output(const std::string& name) { return server->directory().file(name); }

    static std::unique_ptr<RealServer> server;
    static Picture screen;
};
std::unique_ptr<RealServer> Snapshot::server;
Picture Snapshot::screen;

TEST_F(Snapshot, PngEqualsTheServersScreen) {
    CommandResult result = snapshot({address(*server), output("full.png")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(difference(readPNG(output("full.png")), screen), "");

    result = snapshot({"--quality", "low", address(*server), output("low.png")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(difference(readPNG(output("low.png")),
                         expectedFrame(screen, rfb::RFBQuality::low, ServerKind::xvnc)),
              "");

    result = snapshot({"--quality=thousands", "vnc://" + address(*server), output("565.png")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(difference(readPNG(output("565.png")),
                         expectedFrame(screen, rfb::RFBQuality::thousands, ServerKind::xvnc)),
              "");
}

TEST_F(Snapshot, StatsDescribeTheSession) {
    CommandResult result = snapshot({"--stats", address(*server), output("stats.png")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const char* line :
         {"Server: Tessaral test\n", "Protocol version: 3.8\n", "Size: 493x317\n", "Updates: 1\n",
          "\nBytes received: ", "\nZRLE (16): ", "\nCursor (-239): 1 rectangles"}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line << " in:\n" << result.out;
    }

    // Without the local cursor the cursor pseudo-encoding is not announced.
    result = snapshot({"--stats", "--no-cursor", address(*server), output("nocursor.png")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.find("Cursor"), std::string::npos) << result.out;
}

TEST_F(Snapshot, WaitsForTheRequestedNumberOfUpdates) {
    std::string log = output("updates.log");
    Process tool = Process::spawn(
        {TESSARAL_SNAPSHOT, "--stats", "--updates", "3", address(*server), output("3.png")}, {},
        log);
    // Keep the screen changing so that updates keep coming.
    int colour = 0;
    while (tool.running() && colour < 2000) {
        server->setBackground(colour++ % 2 ? "#102030" : "#405060");
    }
    std::optional<int> status = tool.wait(30s);
    server->setBackground("#336699");
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    std::ifstream file(log);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto at = text.find("Updates: ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GE(std::stoul(text.substr(at + 9)), 3u) << text;
}

TEST_F(Snapshot, UnwritableOutputFails) {
    CommandResult result = snapshot({address(*server), "/nonexistent/dir/out.png"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "Couldn't write /nonexistent/dir/out.png\n");
}

TEST(SnapshotFailures, ConnectionErrorsExitWithTheirText) {
    TemporaryDirectory directory;
    std::string png = directory.file("out.png");

    CommandResult refused = snapshot({"127.0.0.1:" + std::to_string(freePort()), png});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "The connection failed: Connection refused\n");

    CommandResult invalid = snapshot({"vnc://", png});
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_EQ(invalid.err, "\u201Cvnc://\u201D isn\u2019t a valid computer address.\n");

    CommandResult wrongScheme = snapshot({"http://127.0.0.1", png});
    EXPECT_EQ(wrongScheme.exitCode, 1);
    EXPECT_EQ(wrongScheme.err,
              "\u201Chttp://127.0.0.1\u201D isn\u2019t a valid computer address.\n");
    EXPECT_FALSE(std::filesystem::exists(png));
}

TEST(SnapshotFailures, SilentServerTimesOut) {
    // Accepts connections (the kernel completes them) but never says anything.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    TemporaryDirectory directory;
    auto start = std::chrono::steady_clock::now();
    CommandResult result =
        snapshot({"--timeout", "1", "127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
                  directory.file("out.png")});
    auto elapsed = std::chrono::steady_clock::now() - start;
    ::close(listener);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "The remote computer didn\u2019t respond in time.\n");
    EXPECT_LT(elapsed, 20s);
}

TEST(SnapshotUsage, BadUsageExitsWithTwo) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {},
             {"127.0.0.1"},
             {"127.0.0.1", "a.png", "extra"},
             {"--bogus", "127.0.0.1", "a.png"},
             {"--quality", "best", "127.0.0.1", "a.png"},
             {"--quality"},
             {"--timeout", "0", "127.0.0.1", "a.png"},
             {"--timeout", "1.5", "127.0.0.1", "a.png"},
             {"--updates", "0", "127.0.0.1", "a.png"},
             {"--stats=yes", "127.0.0.1", "a.png"},
         }) {
        std::string shown;
        for (const auto& a : arguments) {
            shown += a + " ";
        }
        CommandResult result = snapshot(arguments);
        EXPECT_EQ(result.exitCode, 2) << shown;
        EXPECT_NE(result.err.find("\nusage: tessaral-snapshot "), std::string::npos)
            << shown << ": " << result.err;
        EXPECT_EQ(result.out, "") << shown;
    }
}

}  // namespace
