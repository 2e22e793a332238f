#include "Transport.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "BonjourResolver.hpp"
#include "Log.hpp"
#include "RFBError.hpp"

namespace rfb {

namespace {

using Clock = std::chrono::steady_clock;

std::string systemError(int code) {
    return std::strerror(code);
}

int remainingMilliseconds(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long>(left.count(), 1'000'000));
}

void drain(int fd) {
    std::uint64_t value;
    while (::read(fd, &value, sizeof value) > 0) {
    }
}

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

// A name lookup that may outlive the connection attempt: getaddrinfo cannot be interrupted, so
// it runs on its own short-lived thread and a cancelled attempt simply stops waiting for it.
struct Lookup {
    std::mutex mutex;
    int done = -1;  // eventfd, readable once finished
    int status = 0;
    AddrInfoList result;

    Lookup() : done(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Lookup() {
        if (done >= 0) {
            ::close(done);
        }
    }
};

addrinfo hints(int flags) {
    addrinfo h{};
    h.ai_family = AF_UNSPEC;
    h.ai_socktype = SOCK_STREAM;
    h.ai_flags = flags;
    return h;
}

}  // namespace

struct TCPConnection::Resolved {
    AddrInfoList list;
};

TCPConnection::TCPConnection() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (wake_ < 0) {
        throw RFBError::connectionFailed(systemError(errno));
    }
}

TCPConnection::~TCPConnection() {
    close();
    ::close(wake_);
}

void TCPConnection::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
}

void TCPConnection::cancel() {
    cancelled_ = true;
    wake();
}

void TCPConnection::throwIfCancelled() const {
    if (cancelled_) {
        throw Cancelled();
    }
}

void TCPConnection::close() {
    std::unique_ptr<SSHTunnel> tunnel;
    {
        std::lock_guard lock(sendMutex_);
        if (tunnel_) {
            socket_ = -1;  // the tunnel's own
        } else if (socket_ >= 0) {
            ::close(socket_);
            socket_ = -1;
        }
        tunnel = std::move(tunnel_);
        outbox_.clear();
        outboxSent_ = 0;
    }
    // Ending ssh may take a moment; senders meanwhile find the connection closed.
    tunnel.reset();
}

TCPConnection::Wait TCPConnection::waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        throwIfCancelled();
        const int prompts = tunnel_ ? tunnel_->promptListener() : -1;
        pollfd fds[3] = {{fd, events, 0}, {wake_, POLLIN, 0}, {prompts, POLLIN, 0}};
        // No time-out runs out while the user is being asked.
        const bool asking = tunnel_ && tunnel_->prompting();
        int ready =
            ::poll(fds, prompts >= 0 ? 3 : 2, asking ? -1 : remainingMilliseconds(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw RFBError::connectionFailed(systemError(errno));
        }
        if (ready == 0) {
            return {.timedOut = true};
        }
        if (fds[1].revents != 0) {
            drain(wake_);
            throwIfCancelled();
        }
        if (fds[2].revents != 0) {
            takePrompt();
        }
        return {.revents = fds[0].revents};
    }
}

void TCPConnection::awaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        Wait wait = waitFor(fd, events, deadline);
        if (wait.timedOut) {
            throw RFBError::timedOut();
        }
        if (wait.revents != 0) {
            return;
        }
    }
}

TCPConnection::Resolved TCPConnection::resolve(const std::string& host, std::uint16_t port,
                                               Clock::time_point deadline) {
    std::string service = std::to_string(port);
    addrinfo numeric = hints(AI_NUMERICHOST | AI_NUMERICSERV);
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &numeric, &found) == 0) {
        return {AddrInfoList(found)};
    }

    auto lookup = std::make_shared<Lookup>();
    if (lookup->done < 0) {
        throw RFBError::connectionFailed(systemError(errno));
    }
    std::thread([lookup, host, service] {
        addrinfo named = hints(AI_NUMERICSERV | AI_ADDRCONFIG);
        addrinfo* list = nullptr;
        int status = getaddrinfo(host.c_str(), service.c_str(), &named, &list);
        std::lock_guard lock(lookup->mutex);
        lookup->status = status;
        lookup->result.reset(list);
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(lookup->done, &one, sizeof one);
    }).detach();

    awaitReady(lookup->done, POLLIN, deadline);
    std::lock_guard lock(lookup->mutex);
    if (lookup->status != 0) {
        throw RFBError::connectionFailed(
            lookup->status == EAI_SYSTEM ? systemError(errno) : gai_strerror(lookup->status));
    }
    return {std::move(lookup->result)};
}

// Returns a connected socket, or -1 with errno set to why this address failed.
int TCPConnection::connectOne(const void* address, unsigned length, int family,
                              Clock::time_point deadline) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    int error = 0;
    if (::connect(fd, static_cast<const sockaddr*>(address), length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            try {
                awaitReady(fd, POLLOUT, deadline);
            } catch (...) {
                ::close(fd);
                throw;
            }
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        }
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

namespace {
// A time-out below one second has already passed.
Clock::time_point deadlineAfter(std::chrono::seconds timeout) {
    if (timeout.count() < 1) {
        throw RFBError::timedOut();
    }
    return Clock::now() + timeout;
}
}  // namespace

void TCPConnection::open(const std::string& host, std::uint16_t port,
                         std::chrono::seconds timeout) {
    connect(host, port, deadlineAfter(timeout));
}

void TCPConnection::openService(const std::string& name, const std::string& type,
                                const std::string& domain, std::chrono::seconds timeout) {
    auto deadline = deadlineAfter(timeout);
    // Before the socket exists nothing but cancel() writes to wake_, so its becoming readable
    // means exactly that the attempt was cancelled.
    ResolvedService service = resolveBonjourService(name, type, domain, deadline, wake_);
    connect(service.host, service.port, deadline);
}

void TCPConnection::openThroughGateway(const RFBGateway& gateway, const std::string& host,
                                       std::uint16_t port, std::chrono::seconds timeout,
                                       PromptHandler prompted) {
    receiveDeadline_ = deadlineAfter(timeout);
    timeout_ = timeout;
    prompted_ = std::move(prompted);
    auto tunnel = std::make_unique<SSHTunnel>(gateway, host, port);
    std::lock_guard lock(sendMutex_);
    socket_ = tunnel->stream();
    tunnel_ = std::move(tunnel);
}

void TCPConnection::takePrompt() {
    if (std::optional<event::GatewayPrompt> prompt = tunnel_->acceptPrompt()) {
        prompted_(std::move(*prompt));
    }
}

void TCPConnection::answerPrompt(const std::string& answer) {
    {
        std::lock_guard lock(sendMutex_);
        if (tunnel_) {
            tunnel_->answer(answer);
        }
    }
    wake();
}

Clock::time_point TCPConnection::receiveDeadline() const {
    if (!tunnel_ || receiveDeadline_ == Clock::time_point::max()) {
        return receiveDeadline_;
    }
    return std::max(receiveDeadline_, tunnel_->answeredAt() + timeout_);
}

void TCPConnection::connect(const std::string& host, std::uint16_t port,
                            Clock::time_point deadline) {
    receiveDeadline_ = deadline;
    Resolved resolved = resolve(host, port, deadline);
    int lastError = EHOSTUNREACH;
    for (addrinfo* a = resolved.list.get(); a != nullptr; a = a->ai_next) {
        int fd = connectOne(a->ai_addr, a->ai_addrlen, a->ai_family, deadline);
        if (fd >= 0) {
            std::lock_guard lock(sendMutex_);
            socket_ = fd;
            return;
        }
        lastError = errno;
    }
    throw RFBError::connectionFailed(systemError(lastError));
}

// Reads before waiting, so that while a stream of updates arrives a receive costs one system
// call rather than a poll and a read.
std::size_t TCPConnection::receive(std::span<std::uint8_t> space) {
    for (;;) {
        throwIfCancelled();
        short events = POLLIN;
        {
            std::lock_guard lock(sendMutex_);
            if (outboxSent_ < outbox_.size()) {
                flushLocked();
                if (outboxSent_ < outbox_.size()) {
                    events |= POLLOUT;
                }
            }
        }
        ssize_t n =
            ::recv(socket_, space.data(), std::min(space.size(), receiveSize), MSG_DONTWAIT);
        if (n > 0) {
            // Data that raced with a stop is dropped: the session is over.
            throwIfCancelled();
            bytesReceived_ += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            throw tunnel_ ? tunnel_->failure() : RFBError::connectionClosed();
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            throw tunnel_ ? tunnel_->failure() : RFBError::connectionFailed(systemError(errno));
        }
        const Clock::time_point deadline = receiveDeadline();
        const Clock::time_point idle = idleHandler_ ? Clock::now() + idleAfter_ : deadline;
        if (waitFor(socket_, events, std::min(idle, deadline)).timedOut) {
            if (idle >= deadline) {
                throw RFBError::timedOut();
            }
            idleHandler_();
        }
    }
}

void TCPConnection::flushLocked() {
    while (outboxSent_ < outbox_.size()) {
        ssize_t n = ::send(socket_, outbox_.data() + outboxSent_, outbox_.size() - outboxSent_,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return;
            }
            log(LogLevel::debug, "Send failed: " + systemError(errno));
            outbox_.clear();
            outboxSent_ = 0;
            return;
        }
        outboxSent_ += static_cast<std::size_t>(n);
    }
    if (outboxSent_ < outbox_.size()) {
        if (outboxSent_ > maxQueuedOutput / 8) {
            outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<long>(outboxSent_));
            outboxSent_ = 0;
        }
        return;
    }
    outbox_.clear();
    outboxSent_ = 0;
}

void TCPConnection::send(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(sendMutex_);
    if (socket_ < 0 || bytes.empty()) {
        return;
    }
    bool wasIdle = outboxSent_ == outbox_.size();
    if (outbox_.size() - outboxSent_ + bytes.size() > maxQueuedOutput) {
        log(LogLevel::debug, "Send failed: " + systemError(ENOBUFS));
        return;
    }
    outbox_.insert(outbox_.end(), bytes.begin(), bytes.end());
    if (wasIdle) {
        flushLocked();
        if (outboxSent_ < outbox_.size()) {
            wake();  // the receive thread must start watching for writability
        }
    }
}

}  // namespace rfb
