// Sessions through a real sshd on loopback, to a real Xvnc that listens on loopback only. The
// client is the system's ssh with a configuration, keys and known hosts of the test's own.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "RealServers.hpp"

using namespace rfbtest;

namespace {

std::string userName() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry ? entry->pw_name : "root";
}

std::string makeKey(const TemporaryDirectory& directory, const std::string& name,
                    const std::string& passphrase = "") {
    const std::string path = directory.file(name);
    const CommandResult made =
        run({"ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C", name, "-f", path});
    if (made.exitCode != 0) {
        throw std::runtime_error("ssh-keygen: " + made.err);
    }
    return path;
}

// The ssh processes this test program started and has not reaped (zombies included).
std::vector<pid_t> sshChildren() {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        const std::string stat = std::isdigit(name[0]) ? fileText(entry.path() / "stat") : "";
        const std::size_t close = stat.rfind(')');
        int parent = 0;
        if (stat.find("(ssh)") != std::string::npos &&
            std::sscanf(stat.c_str() + close + 2, "%*c %d", &parent) == 1 && parent == ::getpid()) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// sshd with a host key of its own, letting in two keys: one an agent holds, one behind a
// passphrase. ssh finds its private configuration through a `ssh` first on PATH.
class Gateway {
  public:
    Gateway() {
        ::mkdir("/run/sshd", 0755);  // sshd's privilege separation wants it, even unused
        hostKey_ = makeKey(directory_, "host_key");
        otherHostKey_ = makeKey(directory_, "other_host_key");
        agentKey_ = makeKey(directory_, "agent_key");
        lockedKey_ = makeKey(directory_, "locked_key", passphrase);
        port_ = freePort();
        const std::string authorized = fileText(agentKey_ + ".pub") + fileText(lockedKey_ + ".pub");
        const std::string config = directory_.file(
            "sshd_config", "ListenAddress 127.0.0.1\nPort " + std::to_string(port_) + "\nHostKey " +
                               hostKey_ + "\nAuthorizedKeysFile " +
                               directory_.file("authorized_keys", authorized) +
                               "\nPidFile none\nStrictModes no\nUsePAM no\nPermitRootLogin "
                               "prohibit-password\nPasswordAuthentication no\n"
                               "KbdInteractiveAuthentication no\nAllowTcpForwarding yes\n");
        sshd_ = Process::spawn({"/usr/sbin/sshd", "-D", "-e", "-f", config}, {},
                               directory_.file("sshd.log"));
        agent_ = Process::spawn({"ssh-agent", "-D", "-a", agentSocket()}, {},
                                directory_.file("agent.log"));
        if (!waitUntil(
                [&] {
                    return run({"ssh-add", "-l"}, agentEnvironment()).exitCode == 1;
                },
                10s) ||
            run({"ssh-add", agentKey_}, agentEnvironment()).exitCode != 0) {
            throw std::runtime_error("ssh-agent did not start");
        }
        // IdentitiesOnly keeps the agent's key out of the passphrase case, which names its own.
        directory_.file("ssh_config", "Host *\n  User " + userName() + "\n  UserKnownHostsFile " +
                                          knownHosts() +
                                          "\n  GlobalKnownHostsFile /dev/null\n"
                                          "  IdentitiesOnly yes\n  IdentityFile " +
                                          lockedKey_ + "\n  IdentityFile " + agentKey_ +
                                          ".pub\n  ConnectTimeout 5\n  ControlMaster no\n");
        const std::string bin = directory_.file("bin");
        ::mkdir(bin.c_str(), 0755);
        const std::string wrapper =
            directory_.file("bin/ssh", "#!/bin/sh\nexec /usr/bin/ssh -F " +
                                           directory_.file("ssh_config") + " \"$@\"\n");
        ::chmod(wrapper.c_str(), 0755);
        ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
        if (!waitUntil(
                [&] {
                    return fileText(directory_.file("sshd.log")).find("listening") !=
                           std::string::npos;
                },
                10s)) {
            throw std::runtime_error("sshd did not start: " +
                                     fileText(directory_.file("sshd.log")));
        }
    }

    static constexpr const char* passphrase = "open sesame";

    std::string destination() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string knownHosts() const { return directory_.file("known_hosts"); }
    // Known hosts that know this gateway by its own key, or by another one.
    void knowHostKey(bool own) const {
        std::ofstream(knownHosts()) << "[127.0.0.1]:" << port_ << " "
                                    << fileText((own ? hostKey_ : otherHostKey_) + ".pub");
    }
    void forgetHostKeys() const { std::ofstream(knownHosts()).flush(); }
    std::string agentSocket() const { return directory_.file("agent.sock"); }
    Environment agentEnvironment() const { return {"SSH_AUTH_SOCK=" + agentSocket()}; }
    void useAgent(bool use) const {
        use ? ::setenv("SSH_AUTH_SOCK", agentSocket().c_str(), 1) : ::unsetenv("SSH_AUTH_SOCK");
    }
    std::string hostKeyLine() const { return fileText(hostKey_ + ".pub"); }

  private:
    TemporaryDirectory directory_;
    std::string hostKey_, otherHostKey_, agentKey_, lockedKey_;
    int port_ = -1;
    Process sshd_, agent_;
};

const Gateway& gateway() {
    static const Gateway shared;
    return shared;
}

class SSHGatewayTest : public ::testing::Test {
  protected:
    const SharedServer& server = sharedServer();
    const Gateway& sshd = gateway();

    rfb::RFBConfiguration through(const std::string& destination, bool prompts,
                                  std::optional<long> port = {}) const {
        rfb::RFBConfiguration configuration;
        configuration.endpoint =
            rfb::RFBEndpoint::host("localhost", port.value_or(server.server.port()));
        configuration.gateway = rfb::RFBGateway{destination, prompts ? TESSARAL_APP : ""};
        return configuration;
    }

    std::string differenceFromScreen(Viewer& viewer) const {
        return viewer.expectFrame(
            expectedFrame(server.screen, rfb::RFBQuality::full, ServerKind::xvnc));
    }

    // Answers the prompts the session raises from `answers` in turn, as the dialog would, and
    // waits for the session to connect, end or raise one prompt more.
    static void answering(Viewer& viewer, const std::vector<std::string>& answers) {
        for (std::size_t i = 0; i < answers.size(); ++i) {
            viewer.pumpUntil([&] { return viewer.prompts.size() > i || viewer.info; });
            if (viewer.prompts.size() <= i) {
                return;
            }
            viewer.client.answerGatewayPrompt(answers[i]);
        }
        viewer.pumpUntil([&] { return viewer.info || viewer.prompts.size() > answers.size(); });
    }
};

TEST_F(SSHGatewayTest, AgentKeyCarriesTheSessionAndSshEndsWithIt) {
    sshd.knowHostKey(true);
    sshd.useAgent(true);
    {
        Viewer viewer(through(sshd.destination(), false));
        EXPECT_EQ(differenceFromScreen(viewer), "");
        ASSERT_TRUE(viewer.info);
        EXPECT_EQ(viewer.info->protection.gateway, sshd.destination());
        EXPECT_EQ(sshChildren().size(), 1u);
        EXPECT_EQ(viewer.finish(), "no error");
    }
    EXPECT_TRUE(sshChildren().empty());
}

TEST_F(SSHGatewayTest, UnknownHostKeyAndPassphraseAreAskedAndAnswered) {
    sshd.forgetHostKeys();
    sshd.useAgent(false);
    Viewer viewer(through(sshd.destination(), true));
    answering(viewer, {"yes", Gateway::passphrase});
    const auto& prompts = viewer.prompts;
    ASSERT_EQ(prompts.size(), 2u) << viewer.endReason();
    EXPECT_FALSE(prompts[0].secret);
    EXPECT_NE(prompts[0].text.find("authenticity of host '[127.0.0.1]:"), std::string::npos)
        << prompts[0].text;
    EXPECT_TRUE(prompts[1].secret);
    EXPECT_NE(prompts[1].text.find("passphrase for key"), std::string::npos) << prompts[1].text;
    EXPECT_EQ(differenceFromScreen(viewer), "");
    // Accepted once, the key is ssh's to remember.
    EXPECT_NE(fileText(sshd.knownHosts()).find(sshd.hostKeyLine().substr(0, 60)),
              std::string::npos);
}

TEST_F(SSHGatewayTest, DecliningAPromptEndsTheAttemptWithoutErrorOrSsh) {
    sshd.forgetHostKeys();
    sshd.useAgent(true);
    {
        Viewer viewer(through(sshd.destination(), true));
        answering(viewer, {});
        ASSERT_EQ(viewer.prompts.size(), 1u) << viewer.endReason();
        EXPECT_EQ(viewer.finish(), "no error");
        EXPECT_EQ(viewer.ends, 1);
    }
    EXPECT_TRUE(sshChildren().empty());
}

TEST_F(SSHGatewayTest, FailuresSayWhatFailedWithSshsWords) {
    const long closedPort = freePort();
    struct Case {
        std::string name, destination;
        bool ownHostKey, agent;
        std::optional<long> port;
        std::string sentence, sshWords;
    };
    // clang-format off
    const Case cases[] = {
        {"changed host key", sshd.destination(), false, true, {},
         "The SSH gateway\u2019s host key has changed, so ssh refused to connect.",
         "has changed and you have requested strict checking"},
        {"refused authentication", sshd.destination(), true, false, {},
         "The SSH gateway refused the authentication.", "Permission denied (publickey)"},
        {"gateway down", "127.0.0.1:" + std::to_string(closedPort), true, true, {},
         "The SSH gateway could not be reached.", "Connection refused"},
        {"remote port closed", sshd.destination(), true, true, closedPort,
         "The SSH gateway could not reach the remote computer\u2019s port", "open failed"},
        {"option as gateway", "-oProxyCommand=touch /tmp/x", true, true, {},
         "\u201C-oProxyCommand=touch /tmp/x\u201D isn\u2019t a valid SSH gateway.", ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        sshd.knowHostKey(c.ownHostKey);
        sshd.useAgent(c.agent);
        const auto viewer = attempt(through(c.destination, false, c.port), nullptr, 30s);
        ASSERT_TRUE(viewer->error) << c.name;
        EXPECT_EQ(viewer->error->kind(), rfb::RFBError::Kind::gatewayFailed) << c.name;
        const std::string text = viewer->error->errorDescription();
        EXPECT_TRUE(text.starts_with(c.sentence)) << c.name << ": " << text;
        EXPECT_NE(text.find(c.sshWords), std::string::npos) << c.name << ": " << text;
        EXPECT_TRUE(sshChildren().empty()) << c.name;
    }
}

TEST_F(SSHGatewayTest, SshKilledMidSessionEndsItOnceLeavingNoProcess) {
    sshd.knowHostKey(true);
    sshd.useAgent(true);
    Viewer viewer(through(sshd.destination(), false));
    ASSERT_TRUE(viewer.pumpUntil([&] { return viewer.frame().has_value(); })) << viewer.endReason();
    const std::vector<pid_t> ssh = sshChildren();
    ASSERT_EQ(ssh.size(), 1u);
    ::kill(ssh[0], SIGKILL);
    viewer.pumpUntil([] { return false; }, 3s);
    EXPECT_EQ(viewer.ends, 1);
    ASSERT_TRUE(viewer.error);
    EXPECT_EQ(viewer.error->errorDescription(),
              "The connection through the SSH gateway ended.\nssh: ended by signal 9");
    EXPECT_TRUE(sshChildren().empty());
}

TEST_F(SSHGatewayTest, SnapshotViaGateway) {
    sshd.knowHostKey(true);
    sshd.useAgent(true);
    const std::string png = server.server.file("via.png");
    const auto snapshot = [&] {
        return run({TESSARAL_SNAPSHOT, "--via", sshd.destination(),
                    "vnc://localhost:" + std::to_string(server.server.port()), png},
                   {}, 60s);
    };
    CommandResult result = snapshot();
    ASSERT_EQ(result.exitCode, 0) << result.err;
    run({"convert", png, "-depth", "8", png + ".ppm"});
    EXPECT_EQ(difference(readPPM(png + ".ppm"),
                         expectedFrame(server.screen, rfb::RFBQuality::full, ServerKind::xvnc)),
              "");
    // Nothing can be asked: ssh fails at once, in its own words.
    sshd.useAgent(false);
    result = snapshot();
    EXPECT_NE(result.exitCode, 0);
    EXPECT_NE(result.err.find("The SSH gateway refused the authentication.\nssh: "),
              std::string::npos)
        << result.err;
}

}  // namespace
