#include "SSHGateway.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace rfb {

namespace {

using Clock = std::chrono::steady_clock;

// The most of ssh's error output kept, and of a prompt taken: ssh's own are a few lines.
constexpr std::size_t maxErrorText = 16'384;
constexpr std::size_t maxPromptText = 4'096;

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool isName(std::string_view text) {
    return !text.empty() && text.front() != '-' &&
           std::all_of(text.begin(), text.end(), isNameCharacter);
}

bool isIPv6(std::string_view text) {
    return text.find(':') != std::string_view::npos &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                      c == ':' || c == '.';
           });
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value < 1 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// `host` in the form ssh's -W takes it.
std::string forwardTarget(const std::string& host, std::uint16_t port) {
    return (isIPv6(host) ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string systemError(int code) {
    return std::strerror(code);
}

// The full path of `program` on PATH, found before forking: the child may only exec.
std::optional<std::string> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (true) {
        std::size_t colon = rest.find(':');
        std::string directory(rest.substr(0, colon));
        std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        rest.remove_prefix(colon + 1);
    }
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// Reads what is there without blocking, keeping the tail when it grows past the bound.
// Returns false once the writer has closed its end.
bool readAvailable(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            if (into.size() > maxErrorText) {
                into.erase(0, into.size() - maxErrorText);
            }
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

void closeIfOpen(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

std::string lineContaining(std::string_view text, std::size_t at) {
    std::size_t start = text.rfind('\n', at);
    start = start == std::string_view::npos ? 0 : start + 1;
    std::size_t end = text.find('\n', at);
    std::string line(text.substr(start, end == std::string_view::npos ? end : end - start));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string lastLine(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text.empty() ? std::string() : lineContaining(text, text.size() - 1);
}

}  // namespace

std::optional<SSHDestination> parseSSHDestination(std::string_view text) {
    SSHDestination destination;
    if (std::size_t at = text.find('@'); at != std::string_view::npos) {
        destination.user = std::string(text.substr(0, at));
        if (!isName(destination.user)) {
            return std::nullopt;
        }
        text.remove_prefix(at + 1);
    }
    std::string_view host = text;
    std::string_view port;
    if (text.starts_with('[')) {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        std::string_view after = text.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) {
            return std::nullopt;
        }
        port = after.empty() ? after : after.substr(1);
        if (!isIPv6(host) || (!after.empty() && port.empty())) {
            return std::nullopt;
        }
    } else {
        if (std::size_t colon = text.find(':'); colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty()) {
                return std::nullopt;
            }
        }
        if (!isName(host)) {
            return std::nullopt;
        }
    }
    if (!port.empty()) {
        destination.port = parsePort(port);
        if (!destination.port) {
            return std::nullopt;
        }
    }
    destination.host = std::string(host);
    return destination;
}

std::vector<std::string> sshArguments(const SSHDestination& gateway, const std::string& host,
                                      std::uint16_t port, bool interactive) {
    std::vector<std::string> arguments;
    if (!interactive) {
        arguments.insert(arguments.end(), {"-o", "BatchMode=yes"});
    }
    if (!gateway.user.empty()) {
        arguments.insert(arguments.end(), {"-l", gateway.user});
    }
    if (gateway.port) {
        arguments.insert(arguments.end(), {"-p", std::to_string(*gateway.port)});
    }
    arguments.insert(arguments.end(), {"-W", forwardTarget(host, port), "--", gateway.host});
    return arguments;
}

RFBError sshFailure(std::string_view stderrText, std::string_view exitText) {
    struct Meaning {
        std::string_view marker;
        std::string_view sentence;
    };
    // The first marker found decides; a changed key also fails verification, so it comes first.
    static constexpr Meaning meanings[] = {
        {"has changed and you have requested strict checking",
         "The SSH gateway\u2019s host key has changed, so ssh refused to connect."},
        {"REMOTE HOST IDENTIFICATION HAS CHANGED",
         "The SSH gateway\u2019s host key has changed, so ssh refused to connect."},
        {"Host key verification failed", "The SSH gateway\u2019s host key was not accepted."},
        {"Permission denied", "The SSH gateway refused the authentication."},
        {"Too many authentication failures", "The SSH gateway refused the authentication."},
        {"open failed",
         "The SSH gateway could not reach the remote computer\u2019s port: it is closed or "
         "unreachable from the gateway."},
        {"Could not resolve hostname", "The SSH gateway could not be reached."},
        {"ssh: connect to host", "The SSH gateway could not be reached."},
        {"Connection closed by", "The SSH gateway closed the connection."},
        {"Connection reset by", "The SSH gateway closed the connection."},
    };
    for (const Meaning& meaning : meanings) {
        if (std::size_t at = stderrText.find(meaning.marker); at != std::string_view::npos) {
            return RFBError::gatewayFailed(std::string(meaning.sentence) +
                                           "\nssh: " + lineContaining(stderrText, at));
        }
    }
    // A signal says more than whatever ssh last said while it was still well, such as that it
    // added a host key.
    std::string words = exitText.empty() ? lastLine(stderrText) : std::string(exitText);
    return RFBError::gatewayFailed("The connection through the SSH gateway ended." +
                                   (words.empty() ? std::string() : "\nssh: " + words));
}

int runAskpass(const char* prompt) {
    const char* path = std::getenv(askpassSocketVariable);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
        return 1;
    }
    std::strcpy(address.sun_path, path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return 1;
    }
    std::string_view text = prompt ? prompt : "";
    ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && reply.size() < maxPromptText) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // The first byte says whether the user answered; cancelling leaves the reply empty.
    if (reply.empty() || reply.front() != '1') {
        return 1;
    }
    reply.replace(0, 1, "");
    reply += '\n';
    return ::write(STDOUT_FILENO, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size())
               ? 0
               : 1;
}

SSHTunnel::SSHTunnel(const RFBGateway& gateway, const std::string& host, std::uint16_t port) {
    const std::optional<SSHDestination> destination = parseSSHDestination(gateway.destination);
    if (!destination) {
        throw RFBError::gatewayFailed("\u201C" + gateway.destination +
                                      "\u201D isn\u2019t a valid SSH gateway.");
    }
    // The target is ssh's -W argument, never an option, but ssh parses it all the same.
    if (!isName(host) && !isIPv6(host)) {
        throw RFBError::invalidAddress(host);
    }
    const std::optional<std::string> program = onPath("ssh");
    if (!program) {
        throw RFBError::gatewayFailed(
            "The ssh program was not found; install OpenSSH\u2019s client to use a gateway.");
    }
    std::vector<std::string> arguments =
        sshArguments(*destination, host, port, !gateway.askpassProgram.empty());
    arguments.insert(arguments.begin(), *program);

    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        std::string_view entry = *variable;
        if (!entry.starts_with("SSH_ASKPASS") && !entry.starts_with(askpassSocketVariable)) {
            environment.emplace_back(entry);
        }
    }
    try {
        if (!gateway.askpassProgram.empty()) {
            const char* runtime = std::getenv("XDG_RUNTIME_DIR");
            std::string directory =
                std::string(runtime && *runtime ? runtime : "/tmp") + "/tessaral-askpass-XXXXXX";
            if (::mkdtemp(directory.data()) == nullptr) {
                throw RFBError::gatewayFailed("The SSH gateway prompt could not be set up: " +
                                              systemError(errno));
            }
            socketDirectory_ = directory;
            std::string path = directory + "/socket";
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (path.size() >= sizeof address.sun_path || listener_ < 0) {
                throw RFBError::gatewayFailed("The SSH gateway prompt could not be set up.");
            }
            std::strcpy(address.sun_path, path.c_str());
            if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(listener_, 4) != 0) {
                throw RFBError::gatewayFailed("The SSH gateway prompt could not be set up: " +
                                              systemError(errno));
            }
            environment.push_back("SSH_ASKPASS=" + gateway.askpassProgram);
            environment.push_back("SSH_ASKPASS_REQUIRE=force");
            environment.push_back(std::string(askpassSocketVariable) + "=" + path);
        }

        int pair[2];
        int errorPipe[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            throw RFBError::gatewayFailed("ssh could not be started: " + systemError(errno));
        }
        stream_ = pair[0];
        if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
            ::close(pair[1]);
            throw RFBError::gatewayFailed("ssh could not be started: " + systemError(errno));
        }
        errors_ = errorPipe[0];

        std::vector<char*> argv = pointers(arguments);
        std::vector<char*> envp = pointers(environment);
        const pid_t parent = ::getpid();
        pid_t pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here on. Its own session keeps ssh and what it
            // starts (a ProxyCommand) off any terminal and lets them be ended as one group.
            ::setsid();
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(127);
            }
            ::dup2(pair[1], STDIN_FILENO);
            ::dup2(pair[1], STDOUT_FILENO);
            ::dup2(errorPipe[1], STDERR_FILENO);
            ::close_range(3, ~0U, 0);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        const int forkError = errno;
        ::close(pair[1]);
        ::close(errorPipe[1]);
        if (pid < 0) {
            throw RFBError::gatewayFailed("ssh could not be started: " + systemError(forkError));
        }
        pid_ = pid;
        ::fcntl(stream_, F_SETFL, O_NONBLOCK);
        ::fcntl(errors_, F_SETFL, O_NONBLOCK);
    } catch (...) {
        end();
        throw;
    }
}

SSHTunnel::~SSHTunnel() {
    end();
}

void SSHTunnel::end() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGTERM);
        // ssh ends at once on SIGTERM; one that does not within a second is killed.
        auto deadline = Clock::now() + std::chrono::seconds(1);
        while (::waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
    }
    closeIfOpen(stream_);
    closeIfOpen(errors_);
    closeIfOpen(listener_);
    {
        std::lock_guard lock(promptMutex_);
        closeIfOpen(asker_);
    }
    if (!socketDirectory_.empty()) {
        ::unlink((socketDirectory_ + "/socket").c_str());
        ::rmdir(socketDirectory_.c_str());
        socketDirectory_.clear();
    }
}

std::optional<event::GatewayPrompt> SSHTunnel::acceptPrompt() {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    // The asker writes its prompt at once and then waits: a short wait is plenty.
    timeval limit{.tv_sec = 2, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string text;
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < maxPromptText) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (text.empty()) {
        ::close(fd);
        return std::nullopt;
    }
    {
        std::lock_guard lock(promptMutex_);
        closeIfOpen(asker_);
        asker_ = fd;
    }
    // ssh asks to confirm a host key with "(yes/no/[fingerprint])?"; anything else wants a secret.
    const bool confirmation = text.find("(yes/no") != std::string::npos;
    return event::GatewayPrompt{std::move(text), !confirmation};
}

void SSHTunnel::answer(const std::string& text) {
    std::lock_guard lock(promptMutex_);
    if (asker_ < 0) {
        return;
    }
    std::string reply = "1" + text;
    ::send(asker_, reply.data(), reply.size(), MSG_NOSIGNAL);
    closeIfOpen(asker_);
    answeredAt_ = Clock::now();
}

bool SSHTunnel::prompting() const {
    std::lock_guard lock(promptMutex_);
    return asker_ >= 0;
}

Clock::time_point SSHTunnel::answeredAt() const {
    std::lock_guard lock(promptMutex_);
    return answeredAt_;
}

RFBError SSHTunnel::failure() {
    std::string text;
    // ssh closes the stream a moment before it writes its last words and exits.
    auto deadline = Clock::now() + std::chrono::seconds(3);
    bool open = true;
    while ((open = readAvailable(errors_, text)) && Clock::now() < deadline) {
        pollfd wait{errors_, POLLIN, 0};
        ::poll(&wait, 1, 50);
    }
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, open ? WNOHANG : 0) == pid_) {
        pid_ = -1;
        // The remote computer closed a stream ssh carried to its end.
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return RFBError::connectionClosed();
        }
    }
    return sshFailure(text, WIFSIGNALED(status)
                                ? "ended by signal " + std::to_string(WTERMSIG(status))
                                : std::string());
}

}  // namespace rfb
