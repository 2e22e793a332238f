#include "RealServers.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace rfbtest {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error failure(const std::string& what) {
    return std::runtime_error(what);
}

std::string hex(std::uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", word);
    return text;
}

std::uint32_t rgb(int r, int g, int b) {
    return 0xFF000000u | std::uint32_t(r & 0xFF) << 16 | std::uint32_t(g & 0xFF) << 8 |
           std::uint32_t(b & 0xFF);
}

// ---- Process plumbing ----------------------------------------------------------------------

// The absolute path a command name runs, looked up before fork: PATH search is not safe between
// fork and exec in a threaded process (the client under test runs threads).
std::string resolve(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw failure("command not found: " + name);
}

std::vector<std::string> mergedEnvironment(const Environment& extra) {
    auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> result(extra);
    for (char** e = environ; *e; ++e) {
        if (std::none_of(extra.begin(), extra.end(),
                         [&](const auto& x) { return name(x) == name(*e); })) {
            result.emplace_back(*e);
        }
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

// fork and execve with the given descriptors as 0, 1, 2 (and 3). With `ownSession` the child
// leads a session of its own whose controlling terminal is its standard input, as a shell's
// command does. Only async-signal-safe calls happen in the child.
pid_t forkExec(const std::vector<std::string>& argv, const Environment& environment, int in,
               int out, int err, int passed, bool ownSession = false) {
    if (argv.empty()) {
        throw failure("empty command");
    }
    std::string program = resolve(argv[0]);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(environment);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    pid_t parent = ::getpid();
    // A helper that exits before reading its input must not kill the test with SIGPIPE.
    static std::once_flag ignorePipe;
    std::call_once(ignorePipe, [] { ::signal(SIGPIPE, SIG_IGN); });

    pid_t pid = ::fork();
    if (pid < 0) {
        throw failure(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // A crashed or killed test must not leave servers behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        // Move the passed descriptor out of the way of 0...2 before those are replaced.
        if (passed >= 0 && passed < 10) {
            passed = ::fcntl(passed, F_DUPFD, 10);
        }
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        int first = 3;
        if (passed >= 0) {
            ::dup2(passed, 3);
            first = 4;
        }
        ::close_range(unsigned(first), ~0u, 0);
        if (ownSession) {
            // Interrupts as a shell's command gets them, whatever this process ignores.
            ::signal(SIGINT, SIG_DFL);
            ::setsid();
            ::ioctl(0, TIOCSCTTY, 0);
        }
        ::execve(program.c_str(), argp.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

int openOrThrow(const char* path, int flags) {
    int fd = ::open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw failure(std::string("open ") + path + ": " + std::strerror(errno));
    }
    return fd;
}

bool connectsUnix(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::string tail(const std::string& path, std::size_t bytes = 3000) {
    std::ifstream file(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.size() > bytes) {
        text = "..." + text.substr(text.size() - bytes);
    }
    return text;
}

// ---- The test pattern ----------------------------------------------------------------------

// A small deterministic generator, so every run draws the same pattern.
struct Noise {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

}  // namespace

// ---- Pictures ------------------------------------------------------------------------------

Picture pictureOf(const rfb::RFBImage& image) {
    Picture picture(image.width(), image.height());
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            picture.pixel(x, y) = image.pixel(x, y);
        }
    }
    return picture;
}

Picture readPPM(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw failure("cannot read " + path);
    }
    auto token = [&]() {
        std::string t;
        char c;
        while (file.get(c)) {
            if (c == '#') {
                std::string comment;
                std::getline(file, comment);
                continue;
            }
            if (std::isspace(static_cast<unsigned char>(c))) {
                if (!t.empty()) {
                    return t;
                }
                continue;
            }
            t += c;
        }
        return t;
    };
    if (token() != "P6") {
        throw failure(path + " is not a binary PPM");
    }
    int width = std::atoi(token().c_str());
    int height = std::atoi(token().c_str());
    if (width <= 0 || height <= 0 || token() != "255") {
        throw failure(path + ": unsupported PPM header");
    }
    std::vector<unsigned char> data(std::size_t(width) * std::size_t(height) * 3);
    file.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()));
    if (file.gcount() != std::streamsize(data.size())) {
        throw failure(path + ": truncated PPM");
    }
    Picture picture(width, height);
    for (std::size_t i = 0; i < picture.words.size(); ++i) {
        picture.words[i] = rgb(data[3 * i], data[3 * i + 1], data[3 * i + 2]);
    }
    return picture;
}

void writePPM(const std::string& path, const Picture& picture) {
    std::ofstream file(path, std::ios::binary);
    file << "P6\n" << picture.width << " " << picture.height << "\n255\n";
    for (std::uint32_t word : picture.words) {
        char bytes[3] = {char(word >> 16 & 0xFF), char(word >> 8 & 0xFF), char(word & 0xFF)};
        file.write(bytes, 3);
    }
    if (!file) {
        throw failure("cannot write " + path);
    }
}

std::string difference(const Picture& actual, const Picture& expected) {
    if (actual.width != expected.width || actual.height != expected.height) {
        return "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) +
               ", expected " + std::to_string(expected.width) + "x" +
               std::to_string(expected.height);
    }
    std::size_t count = 0;
    std::string examples;
    for (int y = 0; y < actual.height; ++y) {
        for (int x = 0; x < actual.width; ++x) {
            if (actual.pixel(x, y) != expected.pixel(x, y)) {
                if (++count <= 5) {
                    examples += " (" + std::to_string(x) + "," + std::to_string(y) +
                                "): " + hex(actual.pixel(x, y)) + " instead of " +
                                hex(expected.pixel(x, y)) + ";";
                }
            }
        }
    }
    if (count == 0) {
        return {};
    }
    return std::to_string(count) + " pixels differ:" + examples;
}

bool contains(const Picture& picture, const Picture& part, int x, int y) {
    if (x < 0 || y < 0 || x + part.width > picture.width || y + part.height > picture.height) {
        return false;
    }
    for (int row = 0; row < part.height; ++row) {
        for (int column = 0; column < part.width; ++column) {
            if (picture.pixel(x + column, y + row) != part.pixel(column, row)) {
                return false;
            }
        }
    }
    return true;
}

Picture testPattern(int width, int height) {
    Picture p(width, height);
    Noise noise{0x7E55A1u};
    // A palette of 40 colours: more than ZRLE's 16-colour palettes hold.
    std::array<std::uint32_t, 40> many{};
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = rgb(int(i * 53 % 256), int(i * 97 % 256), int(255 - i * 31 % 256));
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t word;
            if (y < 16) {
                // Every 8-bit value of red, green, blue and grey, four rows each.
                int v = x * 256 / width;
                int band = y / 4;
                word = band == 0   ? rgb(v, 0, 0)
                       : band == 1 ? rgb(0, v, 0)
                       : band == 2 ? rgb(0, 0, v)
                                   : rgb(v, v, v);
            } else if (x < width / 2 && y < height / 2) {
                // Smooth two-dimensional gradient.
                word = rgb(x * 255 / std::max(width / 2 - 1, 1), y * 255 / std::max(height - 1, 1),
                           (x + 2 * y) & 0xFF);
            } else if (y < height / 2) {
                // Flat field with sharp rectangles of distinct colours.
                word = rgb(0xF0, 0xE8, 0xD0);
                int cx = x - width / 2;
                int cy = y - 16;
                if (cx % 37 < 11 && cy % 23 < 7) {
                    word = rgb(0x20 + cx / 37 * 40, 0x90, 0x30 + cy / 23 * 30);
                }
                if (cx > 60 && cx < 64) {
                    word = rgb(0x10, 0x10, 0x80);
                }
            } else if (x < width / 3) {
                // Text-like: dark strokes in 5x7 cells of pseudo-glyphs on a light background.
                int cellX = x / 6, cellY = y / 9;
                int gx = x % 6, gy = y % 9;
                std::uint32_t glyph = std::uint32_t(cellX * 7919 + cellY * 104729) * 2654435761u;
                bool ink = gx < 5 && gy < 7 && ((glyph >> ((gx * 7 + gy) % 31)) & 1) != 0;
                word = ink ? rgb(0x18, 0x18, 0x30) : rgb(0xFA, 0xFA, 0xF5);
            } else if (x < 2 * width / 3) {
                // A single-pixel checkerboard beside a region of many flat colour runs.
                if (y < 3 * height / 4) {
                    word = ((x + y) & 1) ? rgb(0xFF, 0xFF, 0xFF) : rgb(0, 0, 0);
                } else {
                    word = many[std::size_t((x / 3 + y / 2) % int(many.size()))];
                }
            } else {
                word = noise.next() | 0xFF000000u;
            }
            p.pixel(x, y) = word;
        }
    }
    return p;
}

Picture expectedFrame(const Picture& capture, rfb::RFBQuality quality, ServerKind kind) {
    const rfb::PixelFormat& format = rfb::pixelFormat(quality);
    if (format.redMax == 255 && format.greenMax == 255 && format.blueMax == 255) {
        return capture;
    }
    const std::uint32_t bias = kind == ServerKind::x11vnc ? 127 : 128;
    auto channel = [bias](std::uint32_t value, std::uint32_t max) {
        std::uint32_t reduced = (value * max + bias) / 255;
        return reduced * 255 / max;
    };
    Picture result = capture;
    for (std::uint32_t& word : result.words) {
        word = 0xFF000000u | channel(word >> 16 & 0xFF, format.redMax) << 16 |
               channel(word >> 8 & 0xFF, format.greenMax) << 8 |
               channel(word & 0xFF, format.blueMax);
    }
    return result;
}

// ---- Processes -----------------------------------------------------------------------------

CommandResult run(const std::vector<std::string>& argv, const Environment& environment,
                  std::chrono::milliseconds timeout, const std::string& input) {
    // Files in memory rather than pipes: no pumping, and no deadlock on a chatty command.
    auto memoryFile = [](const std::string& content) {
        int fd = ::memfd_create("run", MFD_CLOEXEC);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size())) {
            throw failure(std::string("memfd: ") + std::strerror(errno));
        }
        ::lseek(fd, 0, SEEK_SET);
        return fd;
    };
    auto contents = [](int fd) {
        std::string text;
        char buffer[4096];
        ::lseek(fd, 0, SEEK_SET);
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, std::size_t(n));
        }
        ::close(fd);
        return text;
    };
    const int in = memoryFile(input), out = memoryFile({}), err = memoryFile({});
    Process process;
    process.pid_ = forkExec(argv, environment, in, out, err, -1);
    ::close(in);
    CommandResult result;
    std::optional<int> status = process.wait(timeout);
    result.timedOut = !status;
    if (!status) {
        status = process.stop(0ms);
    }
    if (!result.timedOut && WIFEXITED(*status)) {
        result.exitCode = WEXITSTATUS(*status);
    }
    result.out = contents(out);
    result.err = contents(err);
    return result;
}

Process Process::spawn(const std::vector<std::string>& argv, const Environment& environment,
                       const std::string& logPath, int passedFd) {
    // Owned by unique_ptrs so that a failed fork closes them too.
    auto closer = [](const int* fd) { ::close(*fd); };
    const int nothing = openOrThrow("/dev/null", O_RDWR);
    std::unique_ptr<const int, decltype(closer)> closeNothing(&nothing, closer);
    const int log =
        openOrThrow(logPath.empty() ? "/dev/null" : logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND);
    std::unique_ptr<const int, decltype(closer)> closeLog(&log, closer);
    Process process;
    process.pid_ = forkExec(argv, environment, nothing, log, log, passedFd);
    return process;
}

Process Process::spawnOnTerminal(const std::vector<std::string>& argv, int terminalFd,
                                 int errorFd) {
    Process process;
    process.pid_ = forkExec(argv, {}, terminalFd, terminalFd, errorFd, -1, true);
    return process;
}

Process::Process(Process&& other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool Process::running() {
    if (pid_ < 0 || status_) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        return false;
    }
    return true;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return status_;
}

std::optional<int> Process::stop(std::chrono::milliseconds grace) {
    if (pid_ < 0) {
        return std::nullopt;
    }
    if (running()) {
        ::kill(pid_, SIGTERM);
        if (!wait(grace)) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            status_ = status;
        }
    }
    pid_ = -1;
    return status_;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int listenOnLoopback(int& port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string error = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        throw failure("cannot listen on the loopback address: " + error);
    }
    port = ntohs(address.sin_port);
    return fd;
}

int freePort() {
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

static bool acceptsConnections(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = "/tmp/tessaral-servers-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw failure(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// ---- Servers -------------------------------------------------------------------------------

namespace {
constexpr int startAttempts = 5;
constexpr auto startTimeout = 30s;

// The obfuscated form both servers read, made by TigerVNC's vncpasswd.
void writeVncPasswordFile(const std::string& path, const std::string& password) {
    CommandResult made = run({"vncpasswd", "-f"}, {}, 20s, password + "\n");
    if (made.exitCode != 0 || made.out.empty()) {
        throw failure("vncpasswd -f failed: " + made.err);
    }
    std::ofstream(path, std::ios::binary) << made.out;
}
}  // namespace

RealServer::RealServer(ServerOptions options) : options_(std::move(options)) {
    if (options_.kind == ServerKind::xvnc) {
        startXvnc();
    } else {
        startOnXvfb();
    }
}

RealServer::~RealServer() {
    // Helpers (windows, selection owners) first, the X server last.
    while (!processes_.empty()) {
        processes_.back()->stop();
        processes_.pop_back();
    }
}

Environment RealServer::environment() const {
    return {"DISPLAY=" + displayName(), "XAUTHORITY=/dev/null"};
}

// Starts an X server (given without its -displayfd) and returns its display once the server
// accepts X clients and `ready` holds; none when it exits first or the time-out passes.
std::optional<int> RealServer::startDisplay(std::vector<std::string> argv,
                                            const std::string& logPath,
                                            const std::function<bool()>& ready) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw failure(std::string("pipe: ") + std::strerror(errno));
    }
    argv.insert(argv.begin() + 1, {"-displayfd", "3"});
    auto process = std::make_unique<Process>(Process::spawn(argv, {}, logPath, fds[1]));
    ::close(fds[1]);
    // The server writes the number and a newline once it accepts clients, or exits.
    std::string text;
    char buffer[32];
    pollfd p{fds[0], POLLIN, 0};
    while (text.find('\n') == std::string::npos &&
           ::poll(&p, 1, int(std::chrono::milliseconds(startTimeout).count())) > 0) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, std::size_t(n));
    }
    ::close(fds[0]);
    if (text.find('\n') == std::string::npos) {
        return std::nullopt;
    }
    const int display = std::atoi(text.c_str());
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
    if (!waitUntil([&] { return !process->running() || (connectsUnix(socket) && ready()); },
                   startTimeout) ||
        !process->running()) {
        return std::nullopt;
    }
    processes_.push_back(std::move(process));
    return display;
}

void RealServer::startXvnc() {
    std::string logPath = directory_.file("Xvnc.log");
    std::vector<std::string> security = {"-SecurityTypes", "None"};
    if (options_.password) {
        std::string passwordFile = directory_.file("passwd");
        writeVncPasswordFile(passwordFile, *options_.password);
        // Without -UseBlacklist=0 a few wrong passwords, which tests make on purpose, would
        // have every connection refused for a while.
        security = {"-SecurityTypes", "VncAuth", "-PasswordFile", passwordFile, "-UseBlacklist=0"};
    }
    for (int attempt = 0; attempt < startAttempts && display_ < 0; ++attempt) {
        int port = freePort();
        // clang-format off
        std::vector<std::string> argv = {
            "Xvnc", "-rfbport", std::to_string(port), "-localhost", "-nolisten", "tcp",
            "-geometry", std::to_string(options_.width) + "x" + std::to_string(options_.height),
            "-depth", "24", "-desktop", options_.desktopName};
        // clang-format on
        argv.insert(argv.end(), security.begin(), security.end());
        argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
        // A failure is most likely a port taken meanwhile; the log says.
        if (auto display = startDisplay(argv, logPath, [&] { return acceptsConnections(port); })) {
            display_ = *display;
            port_ = port;
        }
    }
    if (display_ < 0) {
        throw failure("Xvnc did not start:\n" + tail(logPath));
    }
}

void RealServer::startOnXvfb() {
    std::string xvfbLog = directory_.file("Xvfb.log");
    const std::string size =
        std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
    for (int attempt = 0; attempt < startAttempts && display_ < 0; ++attempt) {
        display_ =
            startDisplay({"Xvfb", "-nolisten", "tcp", "-screen", "0", size}, xvfbLog).value_or(-1);
    }
    if (display_ < 0) {
        throw failure("Xvfb did not start:\n" + tail(xvfbLog));
    }

    const bool tiger = options_.kind == ServerKind::x0vncserver;
    const std::string name = tiger ? "x0vncserver" : "x11vnc";
    std::string logPath = directory_.file(name + ".log");
    std::vector<std::string> authentication =
        tiger ? std::vector<std::string>{"-SecurityTypes", "None"}
              : std::vector<std::string>{"-nopw"};
    if (options_.password) {
        std::string passwordFile = directory_.file("passwd");
        writeVncPasswordFile(passwordFile, *options_.password);
        authentication = tiger ? std::vector<std::string>{"-SecurityTypes", "VncAuth",
                                                          "-PasswordFile", passwordFile}
                               : std::vector<std::string>{"-rfbauth", passwordFile};
    }
    for (int attempt = 0; attempt < startAttempts; ++attempt) {
        int port = freePort();
        // clang-format off
        // -forever: x11vnc would otherwise exit when its first client (the probe below) leaves.
        std::vector<std::string> argv = tiger
            ? std::vector<std::string>{
                "x0vncserver", "-display", displayName(), "-rfbport", std::to_string(port),
                "-localhost", "-desktop", options_.desktopName}
            : std::vector<std::string>{
                "x11vnc", "-display", displayName(), "-rfbport", std::to_string(port),
                "-localhost", "-norc", "-forever", "-shared",
                "-desktop", options_.desktopName};
        // clang-format on
        argv.insert(argv.end(), authentication.begin(), authentication.end());
        argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
        auto process = std::make_unique<Process>(Process::spawn(argv, {}, logPath));
        bool ready = waitUntil([&] { return !process->running() || acceptsConnections(port); },
                               startTimeout);
        if (ready && process->running()) {
            port_ = port;
            processes_.push_back(std::move(process));
            return;
        }
    }
    throw failure(name + " did not start:\n" + tail(logPath));
}

std::string RealServer::log() const {
    std::string text;
    for (const char* name : {"Xvnc.log", "Xvfb.log", "x11vnc.log", "x0vncserver.log"}) {
        std::string path = directory_.file(name);
        if (std::filesystem::exists(path)) {
            text += std::string("--- ") + name + "\n" + tail(path);
        }
    }
    return text;
}

CommandResult RealServer::x(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                            const std::string& input) const {
    return run(argv, environment(), timeout, input);
}

std::string RealServer::xOrThrow(const std::vector<std::string>& argv,
                                 std::chrono::milliseconds timeout) const {
    CommandResult result = x(argv, timeout);
    if (result.exitCode != 0) {
        std::string command;
        for (const auto& a : argv) {
            command += a + " ";
        }
        throw failure(command + (result.timedOut ? "timed out" : "failed") + ": " + result.err);
    }
    return result.out;
}

Process& RealServer::startX(const std::vector<std::string>& argv, const std::string& logName) {
    processes_.push_back(
        std::make_unique<Process>(Process::spawn(argv, environment(), directory_.file(logName))));
    return *processes_.back();
}

void RealServer::setBackground(const std::string& colour) const {
    xOrThrow({"xsetroot", "-solid", colour});
}

Picture RealServer::showPattern(int width, int height, int x, int y) {
    setBackground("#336699");
    hideCursor(1, options_.height - 2);
    show(testPattern(width, height), x, y);
    return waitForStableScreen();
}

void RealServer::hideCursor(int x, int y) const {
    std::string blank = directory_.file("blank.xbm");
    std::ofstream(blank) << "#define blank_width 1\n#define blank_height 1\n"
                            "#define blank_x_hot 0\n#define blank_y_hot 0\n"
                            "static unsigned char blank_bits[] = {\n 0x00 };\n";
    xOrThrow({"xsetroot", "-cursor", blank, blank});
    xOrThrow({"xdotool", "mousemove", std::to_string(x), std::to_string(y)});
}

std::string RealServer::show(const Picture& picture, int x, int y, const std::string& title) {
    std::string path = directory_.file(title + ".ppm");
    writePPM(path, picture);
    startX({"display", "-borderwidth", "0", "-title", title, "-geometry",
            "+" + std::to_string(x) + "+" + std::to_string(y), path},
           "display-" + title + ".log");
    waitForScreen([&](const Picture& screen) { return contains(screen, picture, x, y); });
    return title;
}

Picture RealServer::capture() const {
    std::string path = directory_.file("capture.ppm");
    xOrThrow({"import", "-silent", "-window", "root", "-depth", "8", path});
    Picture picture = readPPM(path);
    std::filesystem::remove(path);
    return picture;
}

Picture RealServer::waitForStableScreen(std::chrono::milliseconds timeout) const {
    std::optional<Picture> previous;
    return waitForScreen(
        [&](const Picture& screen) { return std::exchange(previous, screen) == screen; }, timeout);
}

Picture RealServer::waitForScreen(const std::function<bool(const Picture&)>& condition,
                                  std::chrono::milliseconds timeout) const {
    auto deadline = Clock::now() + timeout;
    while (true) {
        Picture screen = capture();
        if (condition(screen)) {
            return screen;
        }
        if (Clock::now() >= deadline) {
            throw failure("the X screen did not reach the expected state\n" + log());
        }
        std::this_thread::sleep_for(50ms);
    }
}

// ---- Test names ----------------------------------------------------------------------------

std::string encodingName(std::int32_t encoding) {
    static const std::map<std::int32_t, std::string> names = {
        {rfb::RFBEncoding::raw, "Raw"},
        {rfb::RFBEncoding::copyRect, "CopyRect"},
        {rfb::RFBEncoding::rre, "RRE"},
        {rfb::RFBEncoding::hextile, "Hextile"},
        {rfb::RFBEncoding::zrle, "ZRLE"}};
    auto found = names.find(encoding);
    return found != names.end() ? found->second : "Encoding" + std::to_string(encoding);
}

std::string caseName(const EncodingAndQuality& param) {
    return encodingName(std::get<0>(param)) + "_" + std::string(rawValue(std::get<1>(param)));
}

std::string versionName(std::string version) {
    std::replace(version.begin(), version.end(), '.', '_');
    return "RFB" + version;
}

// ---- Sessions ------------------------------------------------------------------------------

rfb::RFBConfiguration configurationFor(const rfb::RFBEndpoint& endpoint,
                                       std::chrono::seconds connectTimeout,
                                       std::optional<rfb::RFBCredentials> credentials) {
    rfb::RFBConfiguration configuration;
    configuration.endpoint = endpoint;
    configuration.connectTimeout = connectTimeout;
    configuration.credentials = std::move(credentials);
    return configuration;
}

std::string describe(const std::optional<rfb::RFBError>& error) {
    return error ? error->errorDescription() : "no error";
}

std::string Outcome::describe() const {
    return ended ? rfbtest::describe(error) : "no disconnected event";
}

Outcome attempt(const rfb::RFBConfiguration& configuration,
                const std::function<bool(const Picture&)>& wanted,
                std::chrono::milliseconds timeout) {
    rfb::RFBClient client(configuration);
    Outcome outcome;
    const auto started = Clock::now();
    const auto deadline = started + timeout;
    client.start();
    bool stopped = false;
    while (!outcome.ended && Clock::now() < deadline + 5s) {
        if (auto event = client.events().next(50ms)) {
            if (auto* connected = std::get_if<rfb::event::Connected>(&*event)) {
                outcome.info = connected->info;
            } else if (auto* disconnected = std::get_if<rfb::event::Disconnected>(&*event)) {
                outcome.error = disconnected->error;
                outcome.ended = true;
            }
        }
        // The frame published before the first update is black, never a server's screen.
        if (outcome.info && wanted && client.statistics().updates > 0) {
            if (auto image = client.takeFrame()) {
                outcome.frame = pictureOf(*image);
            }
        }
        const bool done = outcome.info && (!wanted || (outcome.frame && wanted(*outcome.frame)));
        if (!stopped && (done || outcome.ended || Clock::now() >= deadline)) {
            outcome.elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
            client.stop();
            stopped = true;
        }
    }
    return outcome;
}

}  // namespace rfbtest
