#include "FaultProxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

#include "RealServers.hpp"

namespace rfbtest {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
// Each direction reads only while less than this waits to go out, so memory stays bounded.
constexpr std::size_t bufferCap = 1 << 20;
constexpr std::size_t readSize = 65'536;
constexpr auto paceTimeout = 5s;
// How long a closed connection waits for the client to close its end.
constexpr auto drainTimeout = 10s;

void noDelay(int fd) {
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

int millisecondsUntil(Clock::time_point when) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now()).count();
    return int(std::clamp<long>(left, 0, 1000));
}

void drainEventfd(int fd) {
    std::uint64_t value;
    while (::read(fd, &value, sizeof value) > 0) {
    }
}

// Bytes waiting to go one way.
struct Pending {
    std::vector<std::uint8_t> bytes;
    std::size_t start = 0;

    std::size_t size() const { return bytes.size() - start; }
    const std::uint8_t* data() const { return bytes.data() + start; }
    void consume(std::size_t count) {
        start += count;
        if (start == bytes.size()) {
            bytes.clear();
            start = 0;
        } else if (start > bufferCap) {
            bytes.erase(bytes.begin(), bytes.begin() + long(start));
            start = 0;
        }
    }
    // Receives what `fd` has; false at the end of the stream or on an error.
    bool receive(int fd) {
        std::size_t old = bytes.size();
        bytes.resize(old + readSize);
        ssize_t n = ::recv(fd, bytes.data() + old, readSize, 0);
        bytes.resize(old + std::size_t(std::max<ssize_t>(n, 0)));
        return n > 0 || (n < 0 && wouldBlock(errno));
    }
};

}  // namespace

// ---- Plans ---------------------------------------------------------------------------------

FaultPlan FaultPlan::random(std::uint64_t seed, std::uint64_t toClientLength,
                            std::uint64_t toServerLength) {
    std::mt19937_64 random(seed);
    auto below = [&](std::uint64_t n) {
        return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random);
    };
    FaultPlan plan;
    plan.seed = seed;

    std::uint64_t kind = below(10);
    plan.cut = kind < 4 ? Cut::close : kind < 8 ? Cut::reset : Cut::none;
    if (plan.cut != Cut::none) {
        std::uint64_t where = below(8);
        if (where < 2) {
            plan.cutDirection = Direction::toServer;
            plan.cutOffset = below(toServerLength + 1);
        } else if (where < 4) {
            // Every byte of the handshake is a state of its own, so they get a share of their own.
            plan.cutOffset = below(64);
        } else if (where < 6) {
            // Dense near the start of the update, where the headers of its rectangles are.
            double top = std::log(double(toClientLength) * 1.1 + 1);
            plan.cutOffset =
                std::uint64_t(std::exp(std::uniform_real_distribution<double>(0, top)(random)));
        } else {
            plan.cutOffset = below(toClientLength + toClientLength / 10 + 1);
        }
    }

    switch (below(5)) {
        case 0:
            break;  // as they come
        case 1:
            plan.maxPiece = 1;
            break;
        case 2:
            plan.maxPiece = 8;
            break;
        case 3:
            plan.maxPiece = 200;
            break;
        default:
            plan.minPiece = 500;
            plan.maxPiece = 5000;
            break;
    }
    // Pacing one byte at a time through a whole update takes seconds; the slow link does that.
    plan.paced = plan.maxPiece > 1 && below(2) == 0;

    for (std::uint64_t count = below(3); count > 0; --count) {
        plan.pauses.push_back(
            {below(toClientLength + 1), std::chrono::milliseconds(long(below(200)))});
    }
    std::sort(plan.pauses.begin(), plan.pauses.end(),
              [](const Pause& a, const Pause& b) { return a.offset < b.offset; });
    return plan;
}

FaultPlan FaultPlan::oneByteAtATime() {
    FaultPlan plan;
    plan.maxPiece = 1;
    plan.paced = true;
    return plan;
}

std::string FaultPlan::describe() const {
    std::ostringstream text;
    text << "seed " << seed << ": ";
    if (cut == Cut::none) {
        text << "no cut";
    } else {
        text << (cut == Cut::close ? "close" : "reset") << " after " << cutOffset
             << " bytes to the " << (cutDirection == Direction::toClient ? "client" : "server");
    }
    if (maxPiece == 0) {
        text << ", pieces as they come";
    } else {
        text << ", pieces of " << minPiece << "..." << maxPiece << " bytes";
    }
    text << (paced ? " paced" : "");
    for (const Pause& pause : pauses) {
        text << ", pause at " << pause.offset << " for " << pause.duration.count() << " ms";
    }
    return text.str();
}

// ---- The proxy -----------------------------------------------------------------------------

FaultProxy::FaultProxy(int serverPort, FaultPlan plan)
    : plan_(std::move(plan)), serverPort_(serverPort) {
    listener_ = listenOnLoopback(port_, 1);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        ::close(listener_);
        throw std::runtime_error(std::string("fault proxy: eventfd: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { run(); });
}

FaultProxy::~FaultProxy() {
    stopping_ = true;
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
    thread_.join();
    if (listener_ >= 0) {
        ::close(listener_);
    }
    ::close(wake_);
}

void FaultProxy::pace(CaughtUp caughtUp) {
    std::lock_guard lock(mutex_);
    caughtUp_ = std::move(caughtUp);
}

bool FaultProxy::disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    return cutHappened_;
}

std::uint64_t FaultProxy::forwarded(Direction direction) const {
    return direction == Direction::toClient ? toClient_.load() : toServer_.load();
}

bool FaultProxy::cutDue(std::uint64_t toClient, std::uint64_t toServer) {
    if (plan_.cut == FaultPlan::Cut::none) {
        return false;
    }
    std::uint64_t sent = plan_.cutDirection == Direction::toClient ? toClient : toServer;
    std::lock_guard lock(mutex_);
    if (!armed_ || cutHappened_ || sent < plan_.cutOffset) {
        return false;
    }
    cutHappened_ = true;
    return true;
}

std::uint64_t FaultProxy::allowance(Direction direction, std::uint64_t sent) const {
    if (plan_.cut == FaultPlan::Cut::none || plan_.cutDirection != direction) {
        return unlimited;
    }
    std::lock_guard lock(mutex_);
    if (!armed_) {
        return unlimited;
    }
    return plan_.cutOffset > sent ? plan_.cutOffset - sent : 0;
}

// One connection's two streams. Runs on the proxy's thread only.
struct FaultProxy::Relay {
    enum class Step { goOn, clientGone, serverGone, stopped };

    FaultProxy& proxy;
    int client;
    int server;
    CaughtUp caughtUp;
    Pending toClient;
    Pending toServer;
    bool serverEnded = false;
    std::uint64_t sentToClient = 0;
    std::uint64_t sentToServer = 0;
    std::size_t pieceLeft = 0;
    std::size_t nextPause = 0;
    Clock::time_point resumeAt{};
    std::mt19937_64 random;

    Relay(FaultProxy& p, int c, int s, CaughtUp pacing)
        : proxy(p), client(c), server(s), caughtUp(std::move(pacing)), random(p.plan_.seed) {}

    ~Relay() {
        closeFd(client);
        closeFd(server);
    }

    static void closeFd(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    const FaultPlan& plan() const { return proxy.plan_; }

    void run() {
        for (;;) {
            if (proxy.stopping_) {
                return;
            }
            if (proxy.cutDue(sentToClient, sentToServer)) {
                cut();
                return;
            }
            if (sendToServer() == Step::serverGone) {
                serverEnded = true;  // what it sent before still goes to the client
                closeFd(server);
            }
            Step step = sendToClient();
            if (step == Step::clientGone || step == Step::stopped) {
                return;
            }
            if (proxy.cutDue(sentToClient, sentToServer)) {
                cut();
                return;
            }
            if (serverEnded && toClient.size() == 0) {
                closeTowardClient();
                return;
            }
            if (!wait()) {
                return;
            }
        }
    }

    Step sendToServer() {
        while (toServer.size() > 0 && server >= 0) {
            std::uint64_t allowed = proxy.allowance(Direction::toServer, sentToServer);
            if (allowed == 0) {
                return Step::goOn;
            }
            std::size_t n = std::size_t(std::min<std::uint64_t>(toServer.size(), allowed));
            ssize_t sent = ::send(server, toServer.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                return wouldBlock(errno) ? Step::goOn : Step::serverGone;
            }
            toServer.consume(std::size_t(sent));
            sentToServer += std::uint64_t(sent);
            proxy.toServer_ = sentToServer;
        }
        return Step::goOn;
    }

    std::size_t drawPiece() {
        if (plan().maxPiece == 0) {
            return std::numeric_limits<std::size_t>::max();
        }
        return std::uniform_int_distribution<std::size_t>(plan().minPiece, plan().maxPiece)(random);
    }

    bool paused() const { return Clock::now() < resumeAt; }

    Step sendToClient() {
        while (toClient.size() > 0) {
            if (paused()) {
                return Step::goOn;
            }
            std::uint64_t allowed = proxy.allowance(Direction::toClient, sentToClient);
            if (nextPause < plan().pauses.size()) {
                const FaultPlan::Pause& pause = plan().pauses[nextPause];
                if (pause.offset <= sentToClient) {
                    resumeAt = Clock::now() + pause.duration;
                    ++nextPause;
                    continue;
                }
                allowed = std::min(allowed, pause.offset - sentToClient);
            }
            if (allowed == 0) {
                return Step::goOn;  // the cut is due
            }
            if (pieceLeft == 0) {
                pieceLeft = drawPiece();
            }
            std::size_t n = std::min({toClient.size(), pieceLeft,
                                      std::size_t(std::min<std::uint64_t>(allowed, bufferCap))});
            ssize_t sent = ::send(client, toClient.data(), n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                return wouldBlock(errno) ? Step::goOn : Step::clientGone;
            }
            toClient.consume(std::size_t(sent));
            sentToClient += std::uint64_t(sent);
            proxy.toClient_ = sentToClient;
            pieceLeft -= std::size_t(sent);
            if (pieceLeft == 0 && !awaitClient()) {
                return Step::stopped;
            }
        }
        return Step::goOn;
    }

    // Waits until a paced piece has reached the client; false when the proxy is stopping.
    bool awaitClient() {
        if (!plan().paced || !caughtUp) {
            return true;
        }
        auto deadline = Clock::now() + paceTimeout;
        for (int round = 0; !caughtUp(sentToClient); ++round) {
            if (proxy.stopping_) {
                return false;
            }
            if (round % 64 == 63) {
                // A client that has closed its end will not catch up.
                pollfd p{client, POLLRDHUP, 0};
                if (::poll(&p, 1, 0) > 0 || Clock::now() >= deadline) {
                    ++proxy.paceTimeouts_;
                    return true;
                }
            }
            if (round < 256) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(20us);
            }
        }
        return true;
    }

    // Polls both sockets for what they can do now; false when the session is over.
    bool wait() {
        bool wantsClientOut = toClient.size() > 0 && !paused();
        short clientEvents =
            short((toServer.size() < bufferCap ? POLLIN : 0) | (wantsClientOut ? POLLOUT : 0));
        short serverEvents = 0;
        if (server >= 0) {
            serverEvents = short((toClient.size() < bufferCap && !serverEnded ? POLLIN : 0) |
                                 (toServer.size() > 0 ? POLLOUT : 0));
        }
        pollfd fds[3] = {{client, clientEvents, 0},
                         {server >= 0 && serverEvents ? server : -1, serverEvents, 0},
                         {proxy.wake_, POLLIN, 0}};
        int timeout = paused() ? millisecondsUntil(resumeAt) : 1000;
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR) {
            return false;
        }
        if (fds[2].revents != 0) {
            drainEventfd(proxy.wake_);
            if (proxy.stopping_) {
                return false;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!toServer.receive(client)) {
                return false;  // the client is gone: nothing more to do
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (!toClient.receive(server)) {
                serverEnded = true;
                closeFd(server);
            }
        }
        return true;
    }

    void cut() {
        closeFd(server);
        if (plan().cut == FaultPlan::Cut::reset) {
            linger now{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            closeFd(client);
        } else {
            closeTowardClient();
        }
    }

    // An orderly end: FIN, then whatever the client still sends is read until it closes too,
    // since closing a socket with unread bytes would send a reset instead.
    void closeTowardClient() {
        closeFd(server);
        ::shutdown(client, SHUT_WR);
        auto deadline = Clock::now() + drainTimeout;
        std::uint8_t sink[4096];
        while (!proxy.stopping_ && Clock::now() < deadline) {
            pollfd fds[2] = {{client, POLLIN, 0}, {proxy.wake_, POLLIN, 0}};
            if (::poll(fds, 2, millisecondsUntil(deadline)) < 0 && errno != EINTR) {
                break;
            }
            if (fds[0].revents != 0) {
                ssize_t n = ::recv(client, sink, sizeof sink, 0);
                if (n == 0 || (n < 0 && !wouldBlock(errno))) {
                    break;
                }
            }
            if (fds[1].revents != 0) {
                drainEventfd(proxy.wake_);
            }
        }
        closeFd(client);
    }
};

int FaultProxy::connectToServer() {
    // On the loopback interface a connect completes or is refused at once.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(serverPort_));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd >= 0) {
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        noDelay(fd);
    }
    return fd;
}

void FaultProxy::run() {
    int client = -1;
    while (client < 0 && !stopping_) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, 1000) > 0 && fds[0].revents != 0) {
            client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        }
    }
    // One connection only: a second one must be refused, not left waiting in the backlog.
    ::close(listener_);
    listener_ = -1;
    if (client < 0) {
        return;
    }
    noDelay(client);
    int server = connectToServer();
    if (server < 0) {
        ::close(client);
        return;
    }
    CaughtUp caughtUp;
    {
        std::lock_guard lock(mutex_);
        caughtUp = caughtUp_;
    }
    Relay(*this, client, server, std::move(caughtUp)).run();
}

}  // namespace rfbtest
