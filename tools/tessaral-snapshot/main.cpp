// tessaral-snapshot: connects to a VNC server, waits until its whole screen has arrived (and for
// --updates N, N - 1 updates more) and writes the newest frame as a PNG file. Exit status 0 on
// success, 1 when the connection or a file fails (the reason on standard error), 2 for bad usage, 3
// when credentials are missing or refused, 4 when the server's identity is not trusted (its
// fingerprint on a line of its own, for --trust).
//
// Passwords come from a file or a prompt on the terminal, never from the command line, where every
// user of the machine could read them in the process list.

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <QString>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FrameImage.hpp"
#include "Log.hpp"
#include "RFBClient.hpp"
#include "RFBError.hpp"
#include "SSHGateway.hpp"
#include "VNCAddress.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int exitCredentials = 3;
constexpr int exitUntrusted = 4;

constexpr std::string_view usageLine =
    "usage: tessaral-snapshot [--quality automatic|full|thousands|low] [--timeout SECONDS] "
    "[--updates N] "
    "[--stats] [--no-cursor] [--username NAME] [--password-file FILE] [--require-encryption] "
    "[--ca-file FILE] [--trust FINGERPRINT] [--via [USER@]GATEWAY[:PORT]] ADDRESS OUTPUT.png";

struct Options {
    std::string address;
    std::string output;
    rfb::RFBQuality quality = rfb::RFBQuality::full;
    long timeoutSeconds = 15;
    std::uint64_t updates = 1;
    bool stats = false;
    bool localCursor = true;
    std::optional<std::string> username;
    std::optional<std::string> passwordFile;
    bool requireEncryption = false;
    std::vector<std::string> caFiles;
    std::optional<std::string> trust;
    std::optional<std::string> via;
};

struct UsageError {
    std::string message;
};

std::optional<long> parseCount(std::string_view text, long minimum, long maximum) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < minimum || value > maximum) {
        return std::nullopt;
    }
    return value;
}

// One row per option, so that new options (credentials, say) are one more row.
struct OptionDefinition {
    std::string_view name;
    bool takesValue;
    std::function<void(Options&, std::string_view)> apply;
};

const std::vector<OptionDefinition>& optionDefinitions() {
    static const std::vector<OptionDefinition> definitions = {
        {"--quality", true,
         [](Options& o, std::string_view v) {
             auto quality = rfb::qualityFromRawValue(v);
             if (!quality) {
                 throw UsageError{"unknown quality \"" + std::string(v) + "\""};
             }
             o.quality = *quality;
         }},
        {"--timeout", true,
         [](Options& o, std::string_view v) {
             auto seconds = parseCount(v, 1, 86'400);
             if (!seconds) {
                 throw UsageError{"the time-out must be a whole number of seconds from 1"};
             }
             o.timeoutSeconds = *seconds;
         }},
        {"--updates", true,
         [](Options& o, std::string_view v) {
             auto count = parseCount(v, 1, 1'000'000'000);
             if (!count) {
                 throw UsageError{"the number of updates must be at least 1"};
             }
             o.updates = std::uint64_t(*count);
         }},
        {"--stats", false, [](Options& o, std::string_view) { o.stats = true; }},
        {"--no-cursor", false, [](Options& o, std::string_view) { o.localCursor = false; }},
        {"--username", true, [](Options& o, std::string_view v) { o.username = std::string(v); }},
        {"--password-file", true,
         [](Options& o, std::string_view v) { o.passwordFile = std::string(v); }},
        {"--require-encryption", false,
         [](Options& o, std::string_view) { o.requireEncryption = true; }},
        {"--ca-file", true, [](Options& o, std::string_view v) { o.caFiles.emplace_back(v); }},
        {"--trust", true, [](Options& o, std::string_view v) { o.trust = std::string(v); }},
        {"--via", true,
         [](Options& o, std::string_view v) {
             if (!rfb::parseSSHDestination(v)) {
                 throw UsageError{"the gateway must be [user@]host[:port]"};
             }
             o.via = std::string(v);
         }},
    };
    return definitions;
}

Options parseArguments(const std::vector<std::string_view>& arguments) {
    Options options;
    std::vector<std::string_view> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string_view argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument.substr(0, 2) != "--") {
            positional.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        std::string_view name = argument;
        std::optional<std::string_view> value;
        if (auto equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        const OptionDefinition* definition = nullptr;
        for (const auto& candidate : optionDefinitions()) {
            if (candidate.name == name) {
                definition = &candidate;
            }
        }
        if (!definition) {
            throw UsageError{"unknown option " + std::string(name)};
        }
        if (definition->takesValue && !value) {
            if (i + 1 == arguments.size()) {
                throw UsageError{std::string(name) + " needs a value"};
            }
            value = arguments[++i];
        } else if (!definition->takesValue && value) {
            throw UsageError{std::string(name) + " takes no value"};
        }
        definition->apply(options, value.value_or(std::string_view()));
    }
    if (positional.size() != 2) {
        throw UsageError{"expected an address and an output file"};
    }
    options.address = positional[0];
    options.output = positional[1];
    return options;
}

std::string encodingName(std::int32_t encoding) {
    switch (encoding) {
        case rfb::RFBEncoding::raw:
            return "Raw";
        case rfb::RFBEncoding::copyRect:
            return "CopyRect";
        case rfb::RFBEncoding::rre:
            return "RRE";
        case rfb::RFBEncoding::hextile:
            return "Hextile";
        case rfb::RFBEncoding::zrle:
            return "ZRLE";
        case rfb::RFBEncoding::tight:
            return "Tight";
        case rfb::RFBEncoding::cursor:
            return "Cursor";
        case rfb::RFBEncoding::desktopSize:
            return "DesktopSize";
        case rfb::RFBEncoding::lastRect:
            return "LastRect";
        case rfb::RFBEncoding::extendedDesktopSize:
            return "ExtendedDesktopSize";
        default:
            return "Encoding";
    }
}

std::string securityText(const rfb::RFBProtection& protection) {
    if (!protection.encrypted) {
        return "not encrypted";
    }
    switch (protection.identity) {
        case rfb::RFBProtection::Identity::none:
            return protection.method + ", identity not verified";
        case rfb::RFBProtection::Identity::verified:
            return protection.method + ", certificate verified";
        case rfb::RFBProtection::Identity::trustedByUser:
            return protection.method + ", identity trusted by fingerprint";
    }
    return protection.method;
}

void printStatistics(const rfb::RFBServerInfo& info, const rfb::RFBImage& frame,
                     const rfb::RFBClient::Statistics& statistics, rfb::RFBQuality quality) {
    std::printf("Server: %s\n", info.name.c_str());
    std::printf("Protocol version: %s\n", info.protocolVersion.c_str());
    std::printf("Security: %s\n", securityText(info.protection).c_str());
    if (!info.protection.gateway.empty()) {
        std::printf("SSH gateway: %s\n", info.protection.gateway.c_str());
    }
    std::printf("Size: %dx%d\n", frame.width(), frame.height());
    std::printf("Updates: %llu\n", static_cast<unsigned long long>(statistics.updates));
    std::printf("Bytes received: %llu\n",
                static_cast<unsigned long long>(statistics.bytesReceived));
    std::printf("Throughput: %.0f kbit/s\n", statistics.kilobitsPerSecond);
    if (quality == rfb::RFBQuality::automatic) {
        if (statistics.automaticLevel == rfb::AutomaticQuality::lossless) {
            std::printf("Automatic quality: lossless\n");
        } else {
            std::printf("Automatic quality: JPEG level %d\n", statistics.automaticLevel);
        }
    }
    for (const auto& [encoding, entry] : statistics.decoding) {
        double milliseconds = std::chrono::duration<double, std::milli>(entry.time).count();
        std::printf("%s (%d): %llu rectangles, %llu pixels, %.3f ms\n",
                    encodingName(encoding).c_str(), static_cast<int>(encoding),
                    static_cast<unsigned long long>(entry.rectangles),
                    static_cast<unsigned long long>(entry.pixels), milliseconds);
    }
}

// Stops the client and lets its receive thread wind down before the process exits.
void finish(rfb::RFBClient& client) {
    client.stop();
    auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline) {
        auto event = client.events().next(100ms);
        if (event && std::holds_alternative<rfb::event::Disconnected>(*event)) {
            return;
        }
        if (!event && client.events().ended()) {
            return;
        }
    }
}

struct Snapshot {
    rfb::RFBServerInfo info;
    rfb::RFBImage frame;
};

// Waits for the first complete frame (every pixel painted since connecting: a server may send
// its screen over several updates, the first of them empty) and then for `updates` - 1 more. The
// time-out bounds every wait for progress (the handshake, and each further update), so a silent
// server ends the program rather than keeping it waiting.
Snapshot takeSnapshot(rfb::RFBClient& client, const Options& options) {
    const auto patience = std::chrono::seconds(options.timeoutSeconds);
    auto deadline = Clock::now() + patience;
    std::optional<rfb::RFBServerInfo> info;
    std::uint64_t bytesSeen = 0;
    while (true) {
        if (auto event = client.events().next(100ms)) {
            if (auto* connected = std::get_if<rfb::event::Connected>(&*event)) {
                info = connected->info;
                deadline = Clock::now() + patience;
            } else if (auto* ended = std::get_if<rfb::event::Disconnected>(&*event)) {
                throw ended->error.value_or(rfb::RFBError::connectionClosed());
            }
        }
        if (info) {
            // Frames and statistics are published together: with no update counted between
            // the two looks, the frame is the one those statistics describe (and not, say, the
            // black one of a resize that came meanwhile).
            rfb::RFBClient::Statistics statistics = client.statistics();
            if (statistics.completeUpdates >= options.updates) {
                std::optional<rfb::RFBImage> frame = client.takeFrame();
                if (frame && client.statistics().updates == statistics.updates) {
                    return {*info, *frame};
                }
            }
            if (statistics.bytesReceived != bytesSeen) {
                bytesSeen = statistics.bytesReceived;
                deadline = Clock::now() + patience;
            }
        }
        if (Clock::now() >= deadline) {
            throw rfb::RFBError::timedOut();
        }
    }
}

// A failure outside the connection, such as an unreadable password file.
struct Failure {
    std::string message;
};

// The first line of the file, without its line ending (LF, or CR LF from an editor elsewhere).
std::string readPasswordFile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        throw Failure{"Couldn't read " + path + ": " + std::strerror(errno)};
    }
    std::string line;
    int c = 0;
    while ((c = std::getc(file)) != EOF && c != '\n') {
        line.push_back(char(c));
    }
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error != 0) {
        throw Failure{"Couldn't read " + path + ": " + std::strerror(error)};
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

// ---- Asking on the terminal ------------------------------------------------------------------

// What the signal handlers need to give the user their echo back when a prompt is interrupted:
// without it, Ctrl-C at the password prompt would leave the shell typing blind.
volatile sig_atomic_t echoOffTerminal = -1;
termios echoingSettings;
termios quietSettings;
constexpr int interruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void restoreEchoAndResignal(int signal);

void installRestoringHandler(int signal) {
    struct sigaction action = {};
    action.sa_handler = restoreEchoAndResignal;
    // Reset to the default action, and not blocked, so that raising the signal again in the
    // handler acts at once with the default action.
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

void restoreEchoAndResignal(int signal) {
    const int savedErrno = errno;
    const int terminal = echoOffTerminal;
    if (terminal >= 0) {
        ::tcsetattr(terminal, TCSANOW, &echoingSettings);
        if (::write(terminal, "\n", 1) < 0) {
            // Nothing to do about a terminal that went away.
        }
    }
    ::raise(signal);
    // Only a stop (Ctrl-Z) comes back here, once the process is continued: the prompt is
    // still waiting for its answer.
    if (terminal >= 0) {
        ::tcsetattr(terminal, TCSANOW, &quietSettings);
    }
    installRestoringHandler(signal);
    errno = savedErrno;
}

// Turns echo off on a terminal for its lifetime, through signals too.
class EchoOff {
  public:
    explicit EchoOff(int terminal) : terminal_(terminal) {
        if (::tcgetattr(terminal_, &echoingSettings) != 0) {
            terminal_ = -1;
            return;
        }
        quietSettings = echoingSettings;
        quietSettings.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
        echoOffTerminal = terminal_;
        for (std::size_t i = 0; i < std::size(interruptingSignals); ++i) {
            ::sigaction(interruptingSignals[i], nullptr, &previous_[i]);
            // A signal the caller chose to ignore (nohup, say) stays ignored.
            if (previous_[i].sa_handler != SIG_IGN) {
                installRestoringHandler(interruptingSignals[i]);
            }
        }
        // Flushing drops anything typed ahead, which was typed before the prompt, with echo.
        ::tcsetattr(terminal_, TCSAFLUSH, &quietSettings);
    }
    ~EchoOff() {
        if (terminal_ < 0) {
            return;
        }
        ::tcsetattr(terminal_, TCSAFLUSH, &echoingSettings);
        echoOffTerminal = -1;
        for (std::size_t i = 0; i < std::size(interruptingSignals); ++i) {
            ::sigaction(interruptingSignals[i], &previous_[i], nullptr);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    int terminal_;
    struct sigaction previous_[std::size(interruptingSignals)] = {};
};

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(std::size_t(written));
    }
}

// None when the input ends (Ctrl-D) before anything was typed, or cannot be read.
std::optional<std::string> readLine(int fd) {
    std::string line;
    while (true) {
        char c = 0;
        ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || (count == 0 && line.empty())) {
            return std::nullopt;
        }
        if (count == 0 || c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

// Asks on the controlling terminal, or on standard input and error when there is none to open.
std::optional<std::string> ask(const std::string& prompt, bool echo) {
    const int terminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    const int input = terminal >= 0 ? terminal : STDIN_FILENO;
    const int output = terminal >= 0 ? terminal : STDERR_FILENO;
    std::optional<std::string> answer;
    if (echo) {
        writeAll(output, prompt);
        answer = readLine(input);
    } else {
        EchoOff quiet(input);
        writeAll(output, prompt);
        answer = readLine(input);
        writeAll(output, "\n");  // in place of the Enter that was not echoed
    }
    if (terminal >= 0) {
        ::close(terminal);
    }
    return answer;
}

// ---- Connecting -----------------------------------------------------------------------------

struct Login {
    std::optional<std::string> username;
    std::optional<std::string> password;

    // A user name alone is no credential: the password is still to be asked for.
    std::optional<rfb::RFBCredentials> credentials() const {
        if (!password) {
            return std::nullopt;
        }
        return rfb::RFBCredentials{username.value_or(""), *password};
    }
};

int snapshotOnce(const Options& options, const rfb::VNCAddress& address, const Login& login) {
    rfb::RFBConfiguration configuration;
    configuration.endpoint = rfb::RFBEndpoint::host(address.host, address.port);
    configuration.credentials = login.credentials();
    configuration.quality = options.quality;
    configuration.shared = true;
    configuration.localCursor = options.localCursor;
    configuration.connectTimeout = std::chrono::seconds(options.timeoutSeconds);
    configuration.requireEncryption = options.requireEncryption;
    configuration.caFiles = options.caFiles;
    configuration.trustedFingerprint = options.trust;
    // Without an askpass program ssh never asks: there is nobody to answer.
    if (options.via) {
        configuration.gateway = rfb::RFBGateway{*options.via};
    }

    rfb::RFBClient client(configuration);
    client.start();
    std::optional<Snapshot> snapshot;
    try {
        snapshot = takeSnapshot(client, options);
    } catch (...) {
        finish(client);
        throw;
    }
    rfb::RFBClient::Statistics statistics = client.statistics();
    finish(client);

    if (!tessaral::writePng(tessaral::wrapFrame(snapshot->frame),
                            QString::fromLocal8Bit(options.output))) {
        std::cerr << "Couldn't write " << options.output << "\n";
        return exitFailure;
    }
    if (options.stats) {
        printStatistics(snapshot->info, snapshot->frame, statistics, options.quality);
    }
    return 0;
}

// Asks for what the server wants and was not given. False when nothing more can be had.
bool askForMissing(const rfb::RFBError& error, const rfb::VNCAddress& address, Login& login) {
    const std::string where = address.displayString();
    if (error.credentialKind() == rfb::RFBCredentialKind::usernameAndPassword &&
        login.username.value_or("").empty()) {
        login.username = ask("Username for " + where + ": ", true);
        if (login.username.value_or("").empty()) {
            return false;
        }
    }
    if (!login.password) {
        login.password = ask("Password for " + where + ": ", false);
    }
    return login.password.has_value();
}

int runSnapshot(const Options& options) {
    rfb::VNCAddress address = rfb::VNCAddress::parse(options.address);
    if (address.password) {
        throw UsageError{
            "the address must not carry a password, which anyone could read on "
            "the command line; use --password-file"};
    }
    Login login;
    login.username = options.username ? options.username : address.username;
    if (options.passwordFile) {
        login.password = readPasswordFile(*options.passwordFile);
    }
    bool asked = false;
    while (true) {
        try {
            return snapshotOnce(options, address, login);
        } catch (const rfb::RFBError& error) {
            // The client that asked has ended; a new one connects with the answers.
            if (error.kind() != rfb::RFBError::Kind::credentialsRequired || asked ||
                !::isatty(STDIN_FILENO)) {
                throw;
            }
            asked = true;
            if (!askForMissing(error, address, login)) {
                throw;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // The failure that ends a connection is printed once, below, rather than also as a log line.
    rfb::setLogSink([](rfb::LogLevel, std::string_view) {});
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    try {
        return runSnapshot(parseArguments(arguments));
    } catch (const UsageError& error) {
        std::cerr << "tessaral-snapshot: " << error.message << "\n" << usageLine << "\n";
        return exitUsage;
    } catch (const Failure& failure) {
        std::cerr << failure.message << "\n";
        return exitFailure;
    } catch (const rfb::RFBError& error) {
        std::cerr << error.errorDescription() << "\n";
        if (const auto& identity = error.identity()) {
            std::cerr << identity->fingerprint() << "\n";
            return exitUntrusted;
        }
        const bool credentials = error.kind() == rfb::RFBError::Kind::credentialsRequired ||
                                 error.kind() == rfb::RFBError::Kind::authenticationFailed;
        return credentials ? exitCredentials : exitFailure;
    }
}
