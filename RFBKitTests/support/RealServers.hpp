#pragma once

// Real VNC servers for the tests: TigerVNC's Xvnc, or x11vnc serving an Xvfb display, each
// started on a free display and a free loopback port and stopped again by process id. Also the X
// tools that draw into those displays and capture them, a PPM reader, and the arithmetic that
// predicts which pixel words the client must show for a captured screen.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "Framebuffer.hpp"
#include "PixelFormat.hpp"
#include "RFBClient.hpp"
#include "RFBConfiguration.hpp"

namespace rfbtest {

using namespace std::chrono_literals;

// A screen or frame as 0xFFRRGGBB words, row by row from the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> words;

    Picture() = default;
    Picture(int w, int h, std::uint32_t fill = 0xFF000000)
        : width(w), height(h), words(std::size_t(w) * std::size_t(h), fill) {}

    std::uint32_t pixel(int x, int y) const { return words[std::size_t(y) * width + x]; }
    std::uint32_t& pixel(int x, int y) { return words[std::size_t(y) * width + x]; }
    bool operator==(const Picture&) const = default;
};

Picture pictureOf(const rfb::RFBImage& image);

// Binary PPM (P6) with a maximum of 255; throws std::runtime_error otherwise.
Picture readPPM(const std::string& path);
void writePPM(const std::string& path, const Picture& picture);

// Empty when equal; otherwise the size difference, or how many pixels differ and the first few.
std::string difference(const Picture& actual, const Picture& expected);

// True when `picture` holds `part` with its top-left corner at (x, y).
bool contains(const Picture& picture, const Picture& part, int x, int y);

// A deterministic image with everything the encoders treat differently: flat areas, sharp
// rectangles, full 0...255 ramps of each channel, smooth gradients, thin strokes in two colours
// (text-like), a region of a few dozen colours and noise.
Picture testPattern(int width, int height);

// How a server reduces an 8-bit channel to the bits of a smaller pixel format. Measured with
// ramps of all 256 values: both round, but Xvnc computes (v × max + 128) / 255 and x11vnc
// (v × max + 127) / 255, which differ exactly where v × max / 255 lies just below one half
// (v = 37 for 5 bits, v = 91 for 3 bits). TigerVNC's x0vncserver, which serves an existing
// display (Xvfb here) like x11vnc, quantises as Xvnc does.
enum class ServerKind { xvnc, x11vnc, x0vncserver };

// The frame the client must show for a captured screen: the server's quantisation to the
// quality's pixel format, then the client's widening c × 255 / max (truncating).
Picture expectedFrame(const Picture& capture, rfb::RFBQuality quality, ServerKind kind);

// ---- Processes ----------------------------------------------------------------------------

struct CommandResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Extra environment entries "NAME=value" replace or extend the inherited environment.
using Environment = std::vector<std::string>;

// A loopback socket listening on a port the kernel chose, which goes to `port`; throws when
// none can be had.
int listenOnLoopback(int& port, int backlog = 4);

// Runs a command to completion (killing it at the time-out) and collects its output.
CommandResult run(const std::vector<std::string>& argv, const Environment& environment = {},
                  std::chrono::milliseconds timeout = 20s, const std::string& input = {});

// A child process owned by the test: stopped by its pid (SIGTERM, then SIGKILL after a bound)
// and reaped when stopped or destroyed. It also gets SIGTERM when the thread that spawned it
// ends, so that a crashed test leaves no server behind: spawn from the test's own thread.
class Process {
  public:
    Process() = default;
    // Output and errors go to `logPath` (or nowhere when empty). `passedFd`, when given, is
    // handed to the child as descriptor 3.
    static Process spawn(const std::vector<std::string>& argv, const Environment& environment,
                         const std::string& logPath, int passedFd = -1);
    // As run from a shell: `terminalFd` is its standard input and output and its controlling
    // terminal, in a session of its own; standard error goes to `errorFd`.
    static Process spawnOnTerminal(const std::vector<std::string>& argv, int terminalFd,
                                   int errorFd);
    ~Process() { stop(); }
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Returns the exit status as waitpid reports it, or none when it was already stopped.
    std::optional<int> stop(std::chrono::milliseconds grace = 5s);
    // Waits for the process to end by itself; none when it is still running at the time-out.
    std::optional<int> wait(std::chrono::milliseconds timeout);

  private:
    friend CommandResult run(const std::vector<std::string>&, const Environment&,
                             std::chrono::milliseconds, const std::string&);
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Polls `condition` every few milliseconds until it holds or the time-out passes.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A loopback TCP port that was free a moment ago (the caller retries if it is taken meanwhile).
int freePort();

// A fresh directory under /tmp, removed with everything in it.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// ---- Servers -------------------------------------------------------------------------------

struct ServerOptions {
    ServerKind kind = ServerKind::xvnc;
    // Sizes that are not multiples of 16 or 64 leave partial Hextile and ZRLE tiles at the edges.
    int width = 493;
    int height = 317;
    std::string desktopName = "Tessaral test";
    // Appended to the VNC server's command line (Xvnc itself, x11vnc or x0vncserver).
    std::vector<std::string> arguments = {};
    // When set, the server offers VNC authentication (type 2) with this password only, and keeps
    // accepting attempts after wrong ones.
    std::optional<std::string> password = std::nullopt;
};

// An X display with a VNC server on 127.0.0.1, ready to accept connections once constructed.
class RealServer {
  public:
    // Throws std::runtime_error (with the server's log) when no server could be started.
    explicit RealServer(ServerOptions options = {});
    ~RealServer();
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;

    ServerKind kind() const { return options_.kind; }
    std::string displayName() const { return ":" + std::to_string(display_); }
    int port() const { return port_; }
    rfb::RFBEndpoint endpoint() const { return rfb::RFBEndpoint::host("127.0.0.1", port_); }
    const TemporaryDirectory& directory() const { return directory_; }

    // Runs an X client on this display.
    CommandResult x(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 20s,
                    const std::string& input = {}) const;
    // As x(), but throws when the command fails; returns its standard output.
    std::string xOrThrow(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = 20s) const;
    // Starts a long-running X client that this server stops with itself, or earlier by pid.
    Process& startX(const std::vector<std::string>& argv, const std::string& logName);

    void setBackground(const std::string& colour) const;
    // The screen most tests look at: a flat background, an invisible cursor near the bottom-left
    // corner and testPattern(width, height) at (x, y). Returns the screen once it stands still.
    Picture showPattern(int width = 320, int height = 200, int x = 37, int y = 23);
    // Gives the root window an invisible cursor and moves the pointer to (x, y), which must be
    // over the root window. Servers may draw the cursor into the framebuffer (Xvnc does until
    // the client itself moves the pointer); an invisible one keeps frames equal to captures.
    void hideCursor(int x, int y) const;
    // Captures until two captures in a row are equal, and returns the last.
    Picture waitForStableScreen(std::chrono::milliseconds timeout = 30s) const;
    // Shows `picture` in a borderless window at (x, y) and waits until the screen shows it.
    // Returns the window's title for xdotool.
    std::string show(const Picture& picture, int x, int y, const std::string& title = "pattern");
    Picture capture() const;
    // Captures until `condition` holds for the screen; throws on time-out.
    Picture waitForScreen(const std::function<bool(const Picture&)>& condition,
                          std::chrono::milliseconds timeout = 30s) const;

    std::string log() const;

  private:
    std::optional<int> startDisplay(
        std::vector<std::string> argv, const std::string& logPath,
        const std::function<bool()>& ready = [] { return true; });
    void startXvnc();
    void startOnXvfb();
    Environment environment() const;

    ServerOptions options_;
    TemporaryDirectory directory_;
    int display_ = -1;
    int port_ = -1;
    // Servers first, helpers after; stopped in reverse order.
    std::vector<std::unique_ptr<Process>> processes_;
};

// ---- Test names ----------------------------------------------------------------------------

std::string encodingName(std::int32_t encoding);
using EncodingAndQuality = std::tuple<std::int32_t, rfb::RFBQuality>;
// "ZRLE_low": the encoding's name and the quality's.
std::string caseName(const EncodingAndQuality& param);
// "RFB3_3" for protocol version "3.3".
std::string versionName(std::string version);

// ---- Sessions ------------------------------------------------------------------------------

// A configuration for `endpoint` as shipped, but for the connect time-out and credentials.
rfb::RFBConfiguration configurationFor(const rfb::RFBEndpoint& endpoint,
                                       std::chrono::seconds connectTimeout = 15s,
                                       std::optional<rfb::RFBCredentials> credentials = {});

// "no error", or the error's description.
std::string describe(const std::optional<rfb::RFBError>& error);

// How one client session went.
struct Outcome {
    std::optional<rfb::RFBServerInfo> info;
    // The newest frame after the first update, if one came.
    std::optional<Picture> frame;
    std::optional<rfb::RFBError> error;
    bool ended = false;
    // From start until the session ended by itself or had what it was run for.
    std::chrono::milliseconds elapsed{0};

    std::string describe() const;
};

// Starts a client and runs it until it ends by itself, or until it has connected and (when
// `wanted` is given) shown a frame that `wanted` accepts; then stops it and waits for its end.
// A session still short of that at the time-out is stopped as well.
Outcome attempt(const rfb::RFBConfiguration& configuration,
                const std::function<bool(const Picture&)>& wanted = nullptr,
                std::chrono::milliseconds timeout = 30s);

}  // namespace rfbtest
