#pragma once

// Real VNC servers on a free display and loopback port (Xvnc, or x11vnc or x0vncserver on an
// Xvfb), the X tools that draw into and capture them, and clients that watch what they send.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "FakeServer.hpp"
#include "PixelFormat.hpp"
#include "RFBClient.hpp"

namespace rfbtest {

using namespace std::chrono_literals;

// A screen or frame as 0xFFRRGGBB words, row by row from the top.
struct Picture {
    int width = 0, height = 0;
    std::vector<std::uint32_t> words;

    Picture(int w = 0, int h = 0, std::uint32_t fill = 0xFF000000)
        : width(w), height(h), words(std::size_t(w) * std::size_t(h), fill) {}
    bool operator==(const Picture&) const = default;
};

Picture pictureOf(const rfb::RFBImage& image);
Picture readPPM(const std::string& path);  // binary, with a maximum of 255
std::string ppm(const Picture& picture);   // the file's bytes
// Empty when equal, else the size difference or how many pixels differ and the first few.
std::string difference(const Picture& actual, const Picture& expected);
// A channel's mean and largest absolute difference (255 for pictures of different sizes).
std::pair<double, int> meanAndPeakError(const Picture& actual, const Picture& expected);
bool contains(const Picture& picture, const Picture& part, int x, int y);  // at top-left (x, y)
// All the encoders treat differently: flat areas, sharp rectangles, full ramps of each channel,
// gradients, text-like strokes, more colours than a palette holds, and noise.
Picture testPattern(int width, int height);
// An X bitmap of `rows`, with a set bit for each of the characters in `set`.
std::string xbm(const std::vector<std::string>& rows, int hotX = 0, int hotY = 0,
                std::string_view set = "#");

// Xvnc and x0vncserver round a channel to fewer bits as (v × max + 128) / 255, x11vnc with 127.
enum class ServerKind { xvnc, x11vnc, x0vncserver, xtightvnc };
// A captured screen as the client must show it: the server's rounding, then c × 255 / max.
Picture expectedFrame(const Picture& capture, rfb::RFBQuality quality, ServerKind kind);

struct CommandResult {
    int exitCode = -1;  // also when killed by a signal or timed out
    std::string out, err;
};
using Environment = std::vector<std::string>;  // "NAME=value", over the inherited ones

std::string fileText(const std::string& path);  // empty when there is no such file
int freePort();
CommandResult run(const std::vector<std::string>& argv, const Environment& environment = {},
                  std::chrono::milliseconds timeout = 20s, const std::string& input = {});
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A child stopped by pid (SIGTERM, then SIGKILL) and reaped; it also gets SIGTERM when the
// spawning thread ends, so that a crashed test leaves no server behind.
class Process {
  public:
    Process() = default;
    // Output to `logPath` (or nowhere), `passedFd` as its descriptor 3. With a `terminal`: as
    // run from a shell, in a session of its own on that terminal, only errors to the log.
    static Process spawn(const std::vector<std::string>& argv, const Environment& environment,
                         const std::string& logPath, int passedFd = -1, int terminal = -1);
    ~Process() { stop(); }
    Process(Process&& other) noexcept { *this = std::move(other); }
    Process& operator=(Process&& other) noexcept;

    bool running();
    std::optional<int> wait(std::chrono::milliseconds timeout);  // the status, once exited
    std::optional<int> stop(std::chrono::milliseconds grace = 5s);

  private:
    friend CommandResult run(const std::vector<std::string>&, const Environment&,
                             std::chrono::milliseconds, const std::string&);
    Process(std::vector<std::string> argv, const Environment& environment, std::array<int, 4> fds,
            bool ownSession = false);
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    // A file here, first written with `content` unless that is empty.
    std::string file(const std::string& name, const std::string& content = {}) const;

  private:
    std::string path_;
};

struct ServerOptions {
    ServerKind kind = ServerKind::xvnc;
    std::string version = "";  // the protocol version when not the newest (x11vnc only)
    // Not multiples of 16 or 64, so that Hextile and ZRLE have partial tiles at the edges.
    int width = 493, height = 317;
    std::string desktopName = "Tessaral test";
    // VNC authentication with this password only, still accepting attempts after wrong ones.
    std::optional<std::string> password = std::nullopt;
    // More of the server's own options, after those above: other security types, say.
    std::vector<std::string> arguments = {};
    auto operator<=>(const ServerOptions&) const = default;
};

// An X display with a VNC server on 127.0.0.1, accepting connections once constructed.
class RealServer {
  public:
    explicit RealServer(ServerOptions options = {});  // throws with the logs on failure
    ~RealServer();

    int port() const { return port_; }
    rfb::RFBEndpoint endpoint() const { return rfb::RFBEndpoint::host("127.0.0.1", port_); }
    // A file of the server's own, as TemporaryDirectory::file() gives.
    std::string file(const std::string& name, const std::string& content = {}) const {
        return directory_.file(name, content);
    }
    std::string log() const;

    // Runs an X client on this display; xOrThrow() returns its output or throws.
    CommandResult x(const std::vector<std::string>& argv,
                    std::chrono::milliseconds timeout = 20s) const {
        return run(argv, environment(), timeout);
    }
    std::string xOrThrow(const std::vector<std::string>& argv) const;
    // A long-running X client, stopped with the server or earlier.
    Process& startX(const std::vector<std::string>& argv, const std::string& logName);
    std::string window(const std::string& title) const;  // a visible window's id, once there
    void setBackground(const std::string& colour) const {
        xOrThrow({"xsetroot", "-solid", colour});
    }
    // Xvnc draws a visible cursor into the screen until a client moves the pointer.
    void hideCursor(int x, int y) const;
    // A flat background, a hidden cursor and testPattern(width, height) at (x, y); returns the
    // screen once it stands still.
    Picture showPattern(int width = 320, int height = 200, int x = 37, int y = 23);
    // Shows `picture` in a borderless window and waits until the screen does.
    void show(const Picture& picture, int x, int y, const std::string& title = "pattern");
    // Captures until `condition` holds (by default: two captures in a row are equal).
    Picture waitForScreen(std::function<bool(const Picture&)> condition = {}) const;

  private:
    void start(const std::vector<std::string>& argv);
    Environment environment() const {
        return {"DISPLAY=:" + std::to_string(display_), "XAUTHORITY=/dev/null"};
    }

    ServerOptions options_;
    TemporaryDirectory directory_;
    int display_ = -1, port_ = -1;
    std::deque<Process> processes_;  // stopped in reverse order
};

// A server showing the pattern, started on first use and shared until the program ends.
struct SharedServer {
    explicit SharedServer(const ServerOptions& options);
    RealServer server;
    Picture screen;
    std::string address;  // "127.0.0.1:<port>"
};
const SharedServer& sharedServer(const ServerOptions& options = {});

using EncodingAndQuality = std::tuple<std::int32_t, rfb::RFBQuality>;
std::string caseName(const EncodingAndQuality& param);  // "ZRLE_low"

inline std::string describe(const std::optional<rfb::RFBError>& error) {
    return error ? error->errorDescription() : "no error";
}

// A started client and what it reported, checked for order as it came. Frames are taken with
// their damage, as the viewer takes them, and `repainted` is refreshed only where it says.
struct Viewer {
    explicit Viewer(const rfb::RFBConfiguration& configuration,
                    std::vector<std::int32_t> encodings = {});
    Viewer(const RealServer& server, std::vector<std::int32_t> encodings,
           rfb::RFBQuality quality = rfb::RFBQuality::full)
        : Viewer(configurationFor(server.endpoint(), 15s, {}, quality), std::move(encodings)) {}
    ~Viewer() { finish(); }

    void pump(std::chrono::milliseconds wait = 0ms);
    // Pumps until `done` holds (true) or the session ends or the time-out passes (false).
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s);
    std::optional<Picture> frame();  // the newest, after the first update
    bool shows(const Picture& expected) { return frame() == expected; }
    // Waits until the frame is `expected`; returns how it differs (empty when it came).
    std::string expectFrame(const Picture& expected, std::chrono::milliseconds timeout = 30s);
    std::string endReason() const { return ends ? describe(error) : "still running"; }
    // Stops the client, pumps until its end or the time-out, and returns endReason().
    std::string finish(std::chrono::milliseconds timeout = 5s);

    rfb::RFBClient client;
    std::optional<rfb::RFBServerInfo> info;
    std::optional<rfb::RFBError> error;
    int ends = 0;
    std::vector<std::string> problems;
    std::vector<std::optional<rfb::RFBCursor>> cursors;
    std::vector<std::string> clipboards;
    std::vector<rfb::event::GatewayPrompt> prompts;
    std::optional<rfb::RFBImage> image;
    std::vector<std::uint32_t> repainted;

  private:
    void handle(const rfb::RFBEvent& event);
    void take();
    std::size_t events_ = 0;
    std::optional<rfb::RFBImage> pictured_;  // held, so that no new frame reuses its words
    Picture picture_;
};

// A session run until it ended by itself, or connected and (with `wanted`) showed a frame
// `wanted` accepts, or the time-out; then finished.
std::unique_ptr<Viewer> attempt(const rfb::RFBConfiguration& configuration,
                                const std::function<bool(const Picture&)>& wanted = nullptr,
                                std::chrono::milliseconds timeout = 30s);

}  // namespace rfbtest
