#pragma once

// A loopback TCP proxy between the client and a real server that misbehaves to a plan: it cuts
// the server's stream into small pieces, pauses it, and ends the connection after a chosen byte
// by an orderly close or by a reset. Plans come from seeds, so that any failing run can be
// repeated exactly, and the proxy reports whether the planned cut happened at all (a cut past
// the end of what the session sends never does).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ProcessResources.hpp"
#include "RFBConfiguration.hpp"

namespace rfbtest {

enum class Direction { toClient, toServer };

struct FaultPlan {
    enum class Cut {
        none,
        close,  // FIN to the client, after which the proxy reads and discards until it closes
        reset,  // RST to the client (a close with SO_LINGER 0)
    };
    Cut cut = Cut::none;
    // The stream whose bytes the cut counts, and how many of them get through before it.
    Direction cutDirection = Direction::toClient;
    std::uint64_t cutOffset = 0;

    // The server's bytes go out in sends of minPiece...maxPiece bytes (maxPiece 0: as they came).
    std::size_t minPiece = 1;
    std::size_t maxPiece = 0;
    // After `offset` bytes to the client, nothing more for `duration`.
    struct Pause {
        std::uint64_t offset = 0;
        std::chrono::milliseconds duration{0};
    };
    std::vector<Pause> pauses;  // by increasing offset
    // Each piece waits until the client has received everything before it (see pace()), so that
    // every piece boundary is also a boundary between two of the client's receives.
    bool paced = false;
    std::uint64_t seed = 0;  // draws the piece sizes

    // A plan mixing every kind of fault and no fault at all. The lengths are what a clean
    // session sends each way, so that cuts land anywhere in it (and a few just past its end).
    static FaultPlan random(std::uint64_t seed, std::uint64_t toClientLength,
                            std::uint64_t toServerLength);
    // Every byte on its own, for a slow link.
    static FaultPlan oneByteAtATime();

    std::string describe() const;
};

// Serves exactly one connection: the first one accepted on its loopback port.
class FaultProxy {
  public:
    // Called with the number of bytes sent to the client so far: true once it has received them.
    using CaughtUp = std::function<bool(std::uint64_t sent)>;

    FaultProxy(int serverPort, FaultPlan plan);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    int port() const { return port_; }
    rfb::RFBEndpoint endpoint() const { return rfb::RFBEndpoint::host("127.0.0.1", port_); }
    // How a paced plan learns what the client has received; set before the client connects.
    // The function is called on the proxy's thread until the proxy is destroyed.
    void pace(CaughtUp caughtUp);

    // Cancels the cut unless it has already happened, and returns whether it had. Afterwards the
    // connection goes on (still in pieces) until either end closes it.
    bool disarm();
    std::uint64_t forwarded(Direction direction) const;
    // Paced pieces the client had not received after a few seconds.
    std::uint64_t paceTimeouts() const { return paceTimeouts_.load(); }

  private:
    struct Relay;
    void run();
    int connectToServer();
    // True (once, and never after disarm()) when the cut's byte count has been reached.
    bool cutDue(std::uint64_t toClient, std::uint64_t toServer);
    // How many more bytes may go that way before the cut.
    std::uint64_t allowance(Direction direction, std::uint64_t sent) const;

    FaultPlan plan_;
    CaughtUp caughtUp_;
    int serverPort_;
    int listener_ = -1;
    int port_ = 0;
    int wake_ = -1;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    bool armed_ = true;
    bool cutHappened_ = false;

    std::atomic<std::uint64_t> toClient_{0};
    std::atomic<std::uint64_t> toServer_{0};
    std::atomic<std::uint64_t> paceTimeouts_{0};
    std::thread thread_;
};

}  // namespace rfbtest
