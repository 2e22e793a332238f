#include "RealServers.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
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

std::runtime_error failure(const std::string& what, bool withErrno = false) {
    return std::runtime_error(withErrno ? what + ": " + std::strerror(errno) : what);
}

std::uint32_t rgb(int r, int g, int b) {
    return 0xFF000000u | std::uint32_t(r & 0xFF) << 16 | std::uint32_t(g & 0xFF) << 8 |
           std::uint32_t(b & 0xFF);
}

// Looked up before fork: searching PATH between fork and exec is unsafe with threads running.
std::string resolve(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/bin:/bin");
    for (std::string directory; name[0] != '/' && std::getline(directories, directory, ':');) {
        if (::access((directory + "/" + name).c_str(), X_OK) == 0) {
            return directory + "/" + name;
        }
    }
    return name;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result(strings.size() + 1, nullptr);
    std::ranges::transform(strings, result.begin(), [](std::string& s) { return s.data(); });
    return result;
}

std::string fdPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string tail(const std::string& path) {
    const std::string text = fileText(path);
    return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
}

}  // namespace

Picture pictureOf(const rfb::RFBImage& image) {
    Picture picture(image.width(), image.height());
    std::copy_n(image.words(), picture.words.size(), picture.words.begin());
    return picture;
}

Picture readPPM(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string magic;
    int width = 0, height = 0, maximum = 0;
    file >> magic >> width >> height >> maximum;
    file.get();
    std::vector<unsigned char> data(std::size_t(std::max(width * height * 3, 0)));
    file.read(reinterpret_cast<char*>(data.data()), std::streamsize(data.size()));
    if (magic != "P6" || width <= 0 || height <= 0 || maximum != 255 || !file) {
        throw failure("not a complete binary PPM: " + path);
    }
    Picture picture(width, height);
    for (std::size_t i = 0; i < picture.words.size(); ++i) {
        picture.words[i] = rgb(data[3 * i], data[3 * i + 1], data[3 * i + 2]);
    }
    return picture;
}

std::string ppm(const Picture& picture) {
    std::string bytes =
        "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
    for (std::uint32_t word : picture.words) {
        bytes += {char(word >> 16), char(word >> 8), char(word)};
    }
    return bytes;
}

std::string difference(const Picture& actual, const Picture& expected) {
    std::ostringstream text;
    if (actual.width != expected.width || actual.height != expected.height) {
        text << "size " << actual.width << "x" << actual.height << ", expected " << expected.width
             << "x" << expected.height;
        return text.str();
    }
    std::size_t count = 0;
    for (std::size_t i = 0, width = std::size_t(actual.width); i < actual.words.size(); ++i) {
        if (actual.words[i] != expected.words[i] && ++count <= 5) {
            text << " (" << i % width << "," << i / width << "): " << std::hex << actual.words[i]
                 << " instead of " << expected.words[i] << std::dec << ";";
        }
    }
    return count == 0 ? "" : std::to_string(count) + " pixels differ:" + text.str();
}

std::pair<double, int> meanAndPeakError(const Picture& actual, const Picture& expected) {
    if (actual.words.size() != expected.words.size() || actual.words.empty()) {
        return {255.0, 255};
    }
    double sum = 0;
    int peak = 0;
    for (std::size_t i = 0; i < actual.words.size(); ++i) {
        for (int shift : {0, 8, 16}) {
            const int error = std::abs(int(actual.words[i] >> shift & 0xFF) -
                                       int(expected.words[i] >> shift & 0xFF));
            sum += error;
            peak = std::max(peak, error);
        }
    }
    return {sum / double(actual.words.size() * 3), peak};
}

bool contains(const Picture& picture, const Picture& part, int x, int y) {
    if (x < 0 || y < 0 || x + part.width > picture.width || y + part.height > picture.height) {
        return false;
    }
    for (int row = 0; row < part.height; ++row) {
        if (!std::equal(part.words.begin() + row * part.width,
                        part.words.begin() + (row + 1) * part.width,
                        picture.words.begin() + (y + row) * picture.width + x)) {
            return false;
        }
    }
    return true;
}

Picture testPattern(int width, int height) {
    Picture p(width, height);
    std::uint32_t noise = 0x7E55A1u;  // the same pattern on every run
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint32_t& word = p.words[std::size_t(y * width + x)];
            const int v = x * 256 / width, band = y / 4, cx = x - width / 2, cy = y - 16;
            if (y < 16) {  // every value of red, green, blue and grey
                word = rgb(band == 0 || band == 3 ? v : 0, band == 1 || band == 3 ? v : 0,
                           band >= 2 ? v : 0);
            } else if (x < width / 2 && y < height / 2) {
                word = rgb(x * 255 / std::max(width / 2 - 1, 1), y * 255 / std::max(height - 1, 1),
                           (x + 2 * y) & 0xFF);
            } else if (y < height / 2) {  // flat with sharp rectangles and a bar
                word = cx > 60 && cx < 64 ? rgb(0x10, 0x10, 0x80)
                       : cx % 37 < 11 && cy % 23 < 7
                           ? rgb(0x20 + cx / 37 * 40, 0x90, 0x30 + cy / 23 * 30)
                           : rgb(0xF0, 0xE8, 0xD0);
            } else if (x < width / 3) {  // text-like pseudo-glyphs in 5x7 cells
                const std::uint32_t glyph =
                    std::uint32_t(x / 6 * 7919 + y / 9 * 104729) * 2654435761u;
                const bool ink =
                    x % 6 < 5 && y % 9 < 7 && (glyph >> ((x % 6 * 7 + y % 9) % 31) & 1);
                word = ink ? rgb(0x18, 0x18, 0x30) : rgb(0xFA, 0xFA, 0xF5);
            } else if (x < 2 * width / 3 && y < 3 * height / 4) {  // single-pixel checkerboard
                word = (x + y) & 1 ? rgb(0xFF, 0xFF, 0xFF) : rgb(0, 0, 0);
            } else if (x < 2 * width / 3) {  // 40 colours: more than a ZRLE palette holds
                const int i = (x / 3 + y / 2) % 40;
                word = rgb(i * 53 % 256, i * 97 % 256, 255 - i * 31 % 256);
            } else {
                noise = noise * 1664525u + 1013904223u;
                word = noise >> 8 | 0xFF000000u;
            }
        }
    }
    return p;
}

Picture expectedFrame(const Picture& capture, rfb::RFBQuality quality, ServerKind kind) {
    const rfb::PixelFormat& format = rfb::pixelFormat(quality);
    const std::uint32_t bias = kind == ServerKind::x11vnc ? 127 : 128;
    auto channel = [bias](std::uint32_t word, int shift, std::uint32_t max) {
        return ((word >> shift & 0xFF) * max + bias) / 255 * 255 / max << shift;
    };
    Picture result = capture;
    for (std::uint32_t& word : result.words) {
        word = 0xFF000000u | channel(word, 16, format.redMax) | channel(word, 8, format.greenMax) |
               channel(word, 0, format.blueMax);
    }
    return result;
}

std::string xbm(const std::vector<std::string>& rows, int hotX, int hotY, std::string_view set) {
    std::string text = "#define c_width " + std::to_string(rows[0].size()) + "\n#define c_height " +
                       std::to_string(rows.size()) + "\n#define c_x_hot " + std::to_string(hotX) +
                       "\n#define c_y_hot " + std::to_string(hotY) +
                       "\nstatic unsigned char c_bits[] = {\n";
    for (const std::string& row : rows) {
        for (std::size_t byte = 0; byte < (row.size() + 7) / 8; ++byte) {
            int value = 0;
            for (std::size_t bit = 0; bit < 8 && byte * 8 + bit < row.size(); ++bit) {
                value |= set.find(row[byte * 8 + bit]) != set.npos ? 1 << bit : 0;
            }
            char hex[16];  // X reads hexadecimal only
            std::snprintf(hex, sizeof hex, " 0x%02x,", value);
            text += hex;
        }
    }
    text.back() = ' ';
    return text + "};\n";
}

// Only async-signal-safe calls happen in the child.
Process::Process(std::vector<std::string> argv, const Environment& extra, std::array<int, 4> fds,
                 bool ownSession) {
    std::string program = resolve(argv.at(0));
    std::vector<std::string> environment = extra;
    for (char** e = environ; *e; ++e) {
        const std::string name = std::string(*e).substr(0, std::strcspn(*e, "=") + 1);
        if (std::ranges::none_of(extra, [&](auto& x) { return x.starts_with(name); })) {
            environment.emplace_back(*e);
        }
    }
    std::vector<char*> argp = pointers(argv), envp = pointers(environment);
    static std::once_flag ignorePipe;  // a helper that exits before reading must not kill us
    std::call_once(ignorePipe, [] { ::signal(SIGPIPE, SIG_IGN); });
    const pid_t parent = ::getpid();
    if ((pid_ = ::fork()) < 0) {
        throw failure("fork", true);
    }
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int& fd : fds) {  // out of the way of 0...3 before those are replaced
            fd = fd < 0 ? -1 : ::fcntl(fd, F_DUPFD, 10);
        }
        for (int target = 0; target < 4; ++target) {
            if (fds[target] >= 0) {
                ::dup2(fds[target], target);
            }
        }
        ::close_range(fds[3] < 0 ? 3u : 4u, ~0u, 0);
        if (ownSession) {  // interrupts as a shell's command gets them
            ::signal(SIGINT, SIG_DFL);
            ::setsid();
            ::ioctl(0, TIOCSCTTY, 0);
        }
        ::execve(program.c_str(), argp.data(), envp.data());
        ::_exit(127);
    }
}

CommandResult run(const std::vector<std::string>& argv, const Environment& environment,
                  std::chrono::milliseconds timeout, const std::string& input) {
    // Files in memory rather than pipes: nothing to pump, no deadlock on a chatty command.
    const int in = ::memfd_create("in", MFD_CLOEXEC), out = ::memfd_create("out", MFD_CLOEXEC),
              err = ::memfd_create("err", MFD_CLOEXEC);
    [[maybe_unused]] auto written = ::pwrite(in, input.data(), input.size(), 0);
    const std::optional<int> status = Process(argv, environment, {in, out, err, -1}).wait(timeout);
    CommandResult result{status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1,
                         fileText(fdPath(out)), fileText(fdPath(err))};
    ::close(in), ::close(out), ::close(err);
    return result;
}

Process Process::spawn(const std::vector<std::string>& argv, const Environment& environment,
                       const std::string& logPath, int passedFd, int terminal) {
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const int log = ::open(logPath.empty() ? "/dev/null" : logPath.c_str(),
                           O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    Process process = terminal < 0
                          ? Process(argv, environment, {nothing, log, log, passedFd})
                          : Process(argv, environment, {terminal, terminal, log, -1}, true);
    ::close(nothing), ::close(log);
    return process;
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
    }
    return *this;
}

bool Process::running() {
    int status = 0;
    if (pid_ >= 0 && !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
    }
    return pid_ >= 0 && !status_;
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return status_;
}

std::optional<int> Process::stop(std::chrono::milliseconds grace) {
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
    for (auto deadline = Clock::now() + timeout; !condition(); std::this_thread::sleep_for(10ms)) {
        if (Clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

std::string fileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

int freePort() {
    int port = 0;
    ::close(listenOnLoopback(port));
    return port;
}

TemporaryDirectory::TemporaryDirectory() : path_("/tmp/tessaral-servers-XXXXXX") {
    if (!::mkdtemp(path_.data())) {
        throw failure("mkdtemp", true);
    }
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TemporaryDirectory::file(const std::string& name, const std::string& content) const {
    if (!content.empty()) {
        std::ofstream(path_ + "/" + name, std::ios::binary) << content;
    }
    return path_ + "/" + name;
}

RealServer::RealServer(ServerOptions options) : options_(std::move(options)) {
    const std::string size = std::to_string(options_.width) + "x" + std::to_string(options_.height);
    const std::string passwords = file(
        "passwd",
        options_.password ? run({"vncpasswd", "-f"}, {}, 20s, *options_.password + "\n").out : "");
    using Arguments = std::vector<std::string>;
    // Tests give wrong passwords and cut handshakes on purpose: no blacklisting for that. x11vnc
    // would exit when its first client leaves but for -forever.
    const Arguments commands[] = {
        {"Xvnc", "-displayfd", "3", "-nolisten", "tcp", "-geometry", size, "-depth", "24",
         "-UseBlacklist=0"},
        {"x11vnc", "-norc", "-forever", "-shared"},
        {"x0vncserver"},
        {"Xtightvnc", "-geometry", size, "-depth", "24", "-nolisten", "tcp", "-alwaysshared"}};
    Arguments argv = commands[int(options_.kind)];
    if (options_.kind == ServerKind::xtightvnc) {
        // TightVNC 1.3 is given its display number rather than choosing one.
        for (display_ = 20 + ::getpid() % 200;
             std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(display_));) {
            ++display_;
        }
        argv.insert(argv.begin() + 1, ":" + std::to_string(display_));
    } else if (options_.kind != ServerKind::xvnc) {
        start({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", size + "x24"});
        argv.insert(argv.end(), {"-display", ":" + std::to_string(display_)});
    }
    // By TigerVNC's or not (Xtightvnc takes -rfbauth too, and is always given a password).
    const bool tiger =
        options_.kind == ServerKind::xvnc || options_.kind == ServerKind::x0vncserver;
    const Arguments security[2][2] = {
        {{"-nopw"}, {"-rfbauth", passwords}},
        {{"-SecurityTypes", "None"}, {"-SecurityTypes", "VncAuth", "-PasswordFile", passwords}}};
    const Arguments& chosen = security[tiger][options_.password.has_value()];
    argv.insert(argv.end(), chosen.begin(), chosen.end());
    if (!options_.version.empty()) {
        argv.insert(argv.end(), {"-rfbversion", options_.version});
    }
    argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
    argv.insert(argv.end(), {"-localhost", "-desktop", options_.desktopName, "-rfbport", "PORT"});
    start(argv);
}

// On a free PORT (a VNC server) and display (the first X server, which writes its number to
// descriptor 3 once it accepts connections), retrying when another process takes one first.
void RealServer::start(const std::vector<std::string>& command) {
    const bool vnc = command.back() == "PORT", ownsDisplay = display_ < 0;
    const std::string logPath = directory_.file(command[0] + ".log");
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<std::string> argv = command;
        const int port = freePort(), displayFd = ::memfd_create("display", MFD_CLOEXEC);
        argv.back() = vnc ? std::to_string(port) : argv.back();
        Process& process = processes_.emplace_back(Process::spawn(argv, {}, logPath, displayFd));
        int display = display_, fd = -1;
        const auto ready = [&] {
            const std::string number = fileText(fdPath(displayFd));
            display =
                ownsDisplay ? number.ends_with('\n') ? std::atoi(number.c_str()) : -1 : display_;
            return display >= 0 && (!vnc || (fd = connectToLoopback(port)) >= 0);
        };
        const bool started =
            waitUntil([&] { return !process.running() || ready(); }, 30s) && process.running();
        ::close(displayFd);
        ::close(fd);
        if (started) {
            display_ = display;
            port_ = vnc ? port : port_;
            return;
        }
        processes_.pop_back();
    }
    throw failure(command[0] + " did not start:\n" + tail(logPath));
}

RealServer::~RealServer() {
    while (!processes_.empty()) {  // helpers first, the X server last
        processes_.pop_back();
    }
}

std::string RealServer::log() const {
    std::string text;
    for (const std::string name : {"Xvnc", "Xvfb", "x11vnc", "x0vncserver", "Xtightvnc"}) {
        if (std::filesystem::exists(directory_.file(name + ".log"))) {
            text += "--- " + name + "\n" + tail(directory_.file(name + ".log"));
        }
    }
    return text;
}

std::string RealServer::xOrThrow(const std::vector<std::string>& argv) const {
    CommandResult result = x(argv);
    if (result.exitCode != 0) {
        throw failure(argv[0] + " failed: " + result.err + log());
    }
    return result.out;
}

Process& RealServer::startX(const std::vector<std::string>& argv, const std::string& logName) {
    return processes_.emplace_back(Process::spawn(argv, environment(), directory_.file(logName)));
}

std::string RealServer::window(const std::string& title) const {
    const std::vector<std::string> search = {"xdotool", "search", "--onlyvisible", "--name",
                                             "^" + title + "$"};
    std::string found;
    waitUntil([&] { return !(found = x(search).out).empty(); }, 30s);
    return found.substr(0, found.find('\n'));
}

void RealServer::hideCursor(int x, int y) const {
    const std::string blank = file("blank.xbm", xbm({"."}));
    xOrThrow({"xsetroot", "-cursor", blank, blank});
    // TightVNC 1.3's X server has no XTEST: its pointer stays where it is, hidden all the same.
    if (options_.kind != ServerKind::xtightvnc) {
        xOrThrow({"xdotool", "mousemove", std::to_string(x), std::to_string(y)});
    }
}

Picture RealServer::showPattern(int width, int height, int x, int y) {
    setBackground("#336699");
    hideCursor(1, options_.height - 2);
    show(testPattern(width, height), x, y);
    return waitForScreen();
}

void RealServer::show(const Picture& picture, int x, int y, const std::string& title) {
    const std::string path = directory_.file(title + ".ppm", ppm(picture));
    startX({"display", "-borderwidth", "0", "-title", title, "-geometry",
            "+" + std::to_string(x) + "+" + std::to_string(y), path},
           title + ".log");
    waitForScreen([&](const Picture& screen) { return contains(screen, picture, x, y); });
}

Picture RealServer::waitForScreen(std::function<bool(const Picture&)> condition) const {
    std::optional<Picture> previous;
    if (!condition) {
        condition = [&](const Picture& screen) {
            return std::exchange(previous, screen) == screen;
        };
    }
    const std::string path = directory_.file("capture.ppm");
    for (auto deadline = Clock::now() + 30s;; std::this_thread::sleep_for(50ms)) {
        xOrThrow({"import", "-silent", "-window", "root", "-depth", "8", path});
        if (Picture screen = readPPM(path); condition(screen)) {
            return screen;
        }
        if (Clock::now() >= deadline) {
            throw failure("the X screen did not reach the expected state\n" + log());
        }
    }
}

SharedServer::SharedServer(const ServerOptions& options)
    : server(options),
      screen(server.showPattern(std::min(320, options.width - 80),
                                std::min(200, options.height - 60))),
      address("127.0.0.1:" + std::to_string(server.port())) {}

const SharedServer& sharedServer(const ServerOptions& options) {
    static std::map<ServerOptions, SharedServer> servers;
    return servers.try_emplace(options, options).first->second;
}

std::string caseName(const EncodingAndQuality& param) {
    using namespace rfb::RFBEncoding;
    const std::map<std::int32_t, std::string> names{
        {raw, "Raw"}, {rre, "RRE"}, {hextile, "Hextile"}, {zrle, "ZRLE"}, {tight, "Tight"}};
    return names.at(std::get<0>(param)) + "_" + std::string(rawValue(std::get<1>(param)));
}

Viewer::Viewer(const rfb::RFBConfiguration& configuration, std::vector<std::int32_t> encodings)
    : client(configuration) {
    if (!encodings.empty()) {
        rfb::RFBClientTesting::setEncodings(client, std::move(encodings));
    }
    client.start();
}

std::string Viewer::finish(std::chrono::milliseconds timeout) {
    client.stop();
    pumpUntil([] { return false; }, timeout);
    return endReason();
}

void Viewer::pump(std::chrono::milliseconds wait) {
    for (auto event = client.events().next(wait); event; event = client.events().tryNext()) {
        handle(*event);
    }
}

bool Viewer::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    for (auto deadline = Clock::now() + timeout; !done(); pump(20ms)) {
        if (ends > 0 || Clock::now() >= deadline) {
            return false;
        }
    }
    return true;
}

void Viewer::handle(const rfb::RFBEvent& event) {
    using namespace rfb::event;
    auto problem = [&](bool when, const char* what) {
        if (when) {
            problems.emplace_back(what);
        }
    };
    problem(ends > 0, "an event after disconnected");
    auto* status = std::get_if<Status>(&event);
    problem(events_++ == 0 && !(status && status->status == rfb::RFBStatus::connecting),
            "the first event is not connecting");
    if (status) {
        problem(info.has_value(), "a status after connected");
    } else if (auto* prompt = std::get_if<GatewayPrompt>(&event)) {
        problem(info.has_value(), "a gateway prompt after connected");
        prompts.push_back(*prompt);
    } else if (auto* connected = std::get_if<Connected>(&event)) {
        problem(info.has_value(), "connected twice");
        info = connected->info;
    } else if (auto* disconnected = std::get_if<Disconnected>(&event)) {
        ++ends;
        error = disconnected->error;
    } else {
        problem(!info, "a session event before connected");
        if (auto* cursor = std::get_if<Cursor>(&event)) {
            cursors.push_back(cursor->cursor);
        } else if (auto* clipboard = std::get_if<Clipboard>(&event)) {
            clipboards.push_back(clipboard->text);
        } else if (std::holds_alternative<FrameAvailable>(event)) {
            take();
        }
    }
}

void Viewer::take() {
    if (auto taken = client.takeFrameWithDamage()) {
        const rfb::RFBImage& next = taken->image;
        repainted.resize(std::size_t(next.width()) * next.height());
        for (const rfb::RFBRect& area : taken->damage) {
            for (int y = area.y; y < area.y + area.height; ++y) {
                const std::size_t start = std::size_t(y) * next.width() + area.x;
                std::copy_n(next.words() + start, area.width, repainted.begin() + long(start));
            }
        }
        image = next;
    }
}

std::optional<Picture> Viewer::frame() {
    take();
    // The frame published before the first update is black, never a server's screen; and one
    // taken here may overtake the connected event still waiting to be handled.
    if (!info || !image || client.statistics().updates == 0) {
        return std::nullopt;
    }
    if (!pictured_ || pictured_->words() != image->words()) {
        pictured_ = image;
        picture_ = pictureOf(*image);
    }
    return picture_;
}

std::string Viewer::expectFrame(const Picture& expected, std::chrono::milliseconds timeout) {
    return pumpUntil([&] { return shows(expected); }, timeout)
               ? ""
               : difference(frame().value_or(Picture()), expected) + " (" + endReason() + ")";
}

std::unique_ptr<Viewer> attempt(const rfb::RFBConfiguration& configuration,
                                const std::function<bool(const Picture&)>& wanted,
                                std::chrono::milliseconds timeout) {
    auto viewer = std::make_unique<Viewer>(configuration);
    const auto done = [&] {
        const std::optional<Picture> frame = wanted ? viewer->frame() : std::nullopt;
        return viewer->info && (!wanted || (frame && wanted(*frame)));
    };
    viewer->pumpUntil(done, timeout);
    viewer->finish();
    return viewer;
}

}  // namespace rfbtest
