#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "SSHGateway.hpp"
#include "Stream.hpp"

namespace rfb {

// A TCP stream over POSIX sockets, or one that ssh carries through a gateway. The receive thread
// opens it and receives; any thread may send; cancel() from any thread wakes a pending resolve,
// connect or receive at once.
class TCPConnection final : public RFBStream {
  public:
    // Largest single receive.
    static constexpr std::size_t receiveSize = 262'144;
    // Client messages waiting for a server that does not read are capped: past this, sends are
    // dropped rather than letting memory grow without bound.
    static constexpr std::size_t maxQueuedOutput = 32 * 1024 * 1024;

    TCPConnection();
    ~TCPConnection() override;
    TCPConnection(const TCPConnection&) = delete;
    TCPConnection& operator=(const TCPConnection&) = delete;

    // Resolves `host` and connects, all within `timeout`. Throws RFBError::timedOut,
    // RFBError::connectionFailed or Cancelled.
    void open(const std::string& host, std::uint16_t port, std::chrono::seconds timeout);
    // Resolves the DNS-SD service (through Avahi) and connects to where it points, both within
    // the one `timeout`. Throws as open() does; a missing daemon or service is connectionFailed.
    void openService(const std::string& name, const std::string& type, const std::string& domain,
                     std::chrono::seconds timeout);
    // Starts ssh carrying the stream to `host`:`port` as the gateway sees it. Whatever ssh asks
    // goes to `prompted` on the receive thread, and the time-out waits while it is unanswered.
    using PromptHandler = std::function<void(event::GatewayPrompt)>;
    void openThroughGateway(const RFBGateway& gateway, const std::string& host, std::uint16_t port,
                            std::chrono::seconds timeout, PromptHandler prompted);
    // Any thread: answers the gateway's pending prompt.
    void answerPrompt(const std::string& answer);

    // Blocks until bytes arrive (flushing queued output meanwhile) and returns how many were
    // stored. Throws RFBError::connectionClosed, RFBError::connectionFailed, Cancelled, or
    // RFBError::timedOut while the connect deadline still holds.
    std::size_t receive(std::span<std::uint8_t> space) override;

    // Never blocks: what the socket does not take at once is queued in order. Bytes sent before
    // the connection is open or after it was closed are dropped.
    void send(std::span<const std::uint8_t> bytes) override;

    // Receives stop being bounded by the connect deadline. Until then a server that accepted
    // the connection but never completes its side of the handshake times out like one that
    // never answered.
    void endDeadline() { receiveDeadline_ = std::chrono::steady_clock::time_point::max(); }

    void cancel();
    bool isCancelled() const { return cancelled_.load(); }
    // Releases the socket, and ends the gateway's ssh; later sends are dropped.
    void close();

    std::uint64_t bytesReceived() const { return bytesReceived_.load(); }

    // Runs `handler` on the receiving thread each time a receive has waited `after` with nothing
    // arriving; none to stop. Set and cleared on the receiving thread only.
    void setIdleHandler(std::chrono::milliseconds after, std::function<void()> handler) {
        idleAfter_ = after;
        idleHandler_ = std::move(handler);
    }

  private:
    struct Resolved;
    void connect(const std::string& host, std::uint16_t port,
                 std::chrono::steady_clock::time_point deadline);
    Resolved resolve(const std::string& host, std::uint16_t port,
                     std::chrono::steady_clock::time_point deadline);
    int connectOne(const void* address, unsigned length, int family,
                   std::chrono::steady_clock::time_point deadline);
    struct Wait {
        bool timedOut = false;
        short revents = 0;  // 0 after a wake-up that was not a cancellation
    };
    // Waits for `events` on `fd`, a wake-up or the deadline; throws Cancelled.
    Wait waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline);
    // As waitFor, until `fd` is ready; throws RFBError::timedOut at the deadline.
    void awaitReady(int fd, short events, std::chrono::steady_clock::time_point deadline);
    void throwIfCancelled() const;
    // The deadline of the next receive: a prompt answered late starts the time-out afresh.
    std::chrono::steady_clock::time_point receiveDeadline() const;
    void takePrompt();
    void flushLocked();
    void wake();

    int socket_ = -1;
    std::chrono::steady_clock::time_point receiveDeadline_ =
        std::chrono::steady_clock::time_point::max();
    int wake_ = -1;
    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint64_t> bytesReceived_{0};
    std::chrono::milliseconds idleAfter_{0};
    std::function<void()> idleHandler_;

    // Set and released by the receive thread, with the socket; answered from any thread.
    std::unique_ptr<SSHTunnel> tunnel_;
    std::chrono::seconds timeout_{0};
    PromptHandler prompted_;

    std::mutex sendMutex_;
    std::vector<std::uint8_t> outbox_;
    std::size_t outboxSent_ = 0;
};

}  // namespace rfb
