#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RFBConfiguration.hpp"
#include "RFBError.hpp"

namespace rfb {

// An SSH gateway as the user writes it, `[user@]host[:port]`.
struct SSHDestination {
    std::string user;
    std::string host;
    std::optional<std::uint16_t> port;
    bool operator==(const SSHDestination&) const = default;
};

// None for anything ssh could read as an option or a shell as a command: names hold only
// letters, digits, '.', '-' and '_' and never start with '-'; an IPv6 address goes in brackets;
// a port is 1 to 65535.
std::optional<SSHDestination> parseSSHDestination(std::string_view text);

// ssh's arguments, after the program's name, for a stream to `host`:`port` as the gateway sees
// it. Non-interactive runs never ask anything and fail instead.
std::vector<std::string> sshArguments(const SSHDestination& gateway, const std::string& host,
                                      std::uint16_t port, bool interactive);

// What ssh's last words mean for the user: one sentence, ssh's own line behind it. `exitText`
// says how ssh ended when that was a signal.
RFBError sshFailure(std::string_view stderrText, std::string_view exitText);

// The environment variable that tells Tessaral it runs as ssh's askpass program, and where to
// hand the prompt.
inline constexpr const char* askpassSocketVariable = "TESSARAL_ASKPASS";

// The askpass program's side: hands `prompt` to the session whose socket the environment names
// and prints the answer for ssh. Returns the exit status: 1 when the user cancelled.
int runAskpass(const char* prompt);

// A running `ssh -W` whose standard input and output are the session's stream. The ssh process
// and what it started end with this object, or with the thread that created it.
class SSHTunnel {
  public:
    // Throws RFBError (gatewayFailed) when the destination is not valid or ssh cannot start.
    SSHTunnel(const RFBGateway& gateway, const std::string& host, std::uint16_t port);
    ~SSHTunnel();
    SSHTunnel(const SSHTunnel&) = delete;
    SSHTunnel& operator=(const SSHTunnel&) = delete;

    // The session's end of the stream, a non-blocking socket.
    int stream() const { return stream_; }
    // Readable when ssh's askpass program has a prompt; -1 for a tunnel that never asks.
    int promptListener() const { return listener_; }

    // Takes the prompt waiting at promptListener(); none when the asker left without one.
    std::optional<event::GatewayPrompt> acceptPrompt();
    // Any thread. Answers the prompt taken last; nothing when there is none.
    void answer(const std::string& text);
    bool prompting() const;
    // When the last answer was given; the epoch before any.
    std::chrono::steady_clock::time_point answeredAt() const;

    // Once the stream has ended: why, in ssh's words. Waits briefly for ssh to finish.
    RFBError failure();

  private:
    void end();

    pid_t pid_ = -1;
    int stream_ = -1;
    int errors_ = -1;
    int listener_ = -1;
    std::string socketDirectory_;
    mutable std::mutex promptMutex_;
    int asker_ = -1;
    std::chrono::steady_clock::time_point answeredAt_;
};

}  // namespace rfb
