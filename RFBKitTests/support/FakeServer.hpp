#pragma once

// An in-process RFB server on a loopback port, scripted byte by byte, for exact sequences and
// malformed input. The script runs on its own thread against one accepted client.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Log.hpp"
#include "RFBClient.hpp"

namespace rfb {
inline void PrintTo(const RFBError& error, std::ostream* out) {
    *out << error.errorDescription();
}
}  // namespace rfb

namespace rfbtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
inline Bytes u16(std::uint16_t v) {
    return {std::uint8_t(v >> 8), std::uint8_t(v)};
}
inline Bytes u32(std::uint32_t v) {
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
inline Bytes s32(std::int32_t v) {
    return u32(static_cast<std::uint32_t>(v));
}

// The server's end of one connection.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() { close(); }

    // Every write is cut into sends of at most this many bytes, to split reads across refills.
    void setChunk(std::size_t bytes) { chunk_ = bytes; }

    void write(const Bytes& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            std::size_t piece = std::min(chunk_, bytes.size() - sent);
            ssize_t n = ::send(fd_, bytes.data() + sent, piece, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("client closed the connection");
            }
            sent += std::size_t(n);
            if (chunk_ < 64) {
                // Give the client a chance to read each piece on its own.
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }

    Bytes read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        Bytes out(count);
        for (std::size_t got = 0; got < count;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, int(timeout.count())) <= 0) {
                throw std::runtime_error("timed out reading from client");
            }
            ssize_t n = ::recv(fd_, out.data() + got, count - got, 0);
            if (n <= 0) {
                throw std::runtime_error("client closed the connection");
            }
            got += std::size_t(n);
        }
        return out;
    }

    // True when the client closes its end within `timeout` (whatever it sends meanwhile is
    // discarded).
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::uint8_t sink[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(fd_, sink, sizeof sink, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_;
    std::size_t chunk_ = 1 << 20;
};

class FakeServer {
  public:
    using Script = std::function<void(Peer&)>;

    explicit FakeServer(Script script, int backlog = 4) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, backlog) != 0) {
            throw std::runtime_error("cannot listen on loopback");
        }
        socklen_t size = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        if (script) {
            thread_ = std::thread([this, script = std::move(script)] {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 20'000) <= 0) {
                    return;
                }
                Peer peer(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
                try {
                    script(peer);
                } catch (const std::exception&) {
                    // The client's side of the test says what went wrong.
                }
            });
        }
    }

    ~FakeServer() {
        join();
        ::close(listener_);
    }

    std::uint16_t port() const { return port_; }
    rfb::RFBEndpoint endpoint() const { return rfb::RFBEndpoint::host("127.0.0.1", port_); }
    // Waits for the script to return.
    void join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

  private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Pieces of a well-behaved server.
inline Bytes serverInit(std::uint16_t width, std::uint16_t height, std::string_view name) {
    Bytes format{32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
    return u16(width) + u16(height) + format + u32(std::uint32_t(name.size())) + text(name);
}

// Version 3.8, security None, ServerInit; reads everything the client sends up to ClientInit.
inline void acceptWithoutSecurity(Peer& peer, std::uint16_t width = 64, std::uint16_t height = 48,
                                  std::string_view name = "fake") {
    peer.write(text("RFB 003.008\n"));
    peer.read(12);
    peer.write({1, 1});
    peer.read(1);
    peer.write(u32(0));
    peer.read(1);
    peer.write(serverInit(width, height, name));
}

// The session start: SetPixelFormat, SetEncodings with `encodings` entries, the first request.
struct SessionStart {
    Bytes setPixelFormat;
    Bytes setEncodings;
    Bytes request;
};
inline SessionStart readSessionStart(Peer& peer, std::size_t encodings = 8) {
    SessionStart start;
    start.setPixelFormat = peer.read(20);
    start.setEncodings = peer.read(4 + 4 * encodings);
    start.request = peer.read(10);
    return start;
}

// Takes what the library logs while it lives, instead of printing it.
class LogCapture {
  public:
    LogCapture() {
        rfb::setLogSink([this](rfb::LogLevel level, std::string_view message) {
            std::lock_guard lock(mutex_);
            lines_.push_back({level, std::string(message)});
        });
    }
    ~LogCapture() { rfb::setLogSink(nullptr); }
    std::vector<std::pair<rfb::LogLevel, std::string>> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    std::vector<std::pair<rfb::LogLevel, std::string>> lines_;
};

inline rfb::RFBConfiguration configurationFor(const rfb::RFBEndpoint& endpoint) {
    rfb::RFBConfiguration configuration;
    configuration.endpoint = endpoint;
    configuration.connectTimeout = std::chrono::seconds(5);
    return configuration;
}

// Collects events until the stream ends (or the time-out passes).
inline std::vector<rfb::RFBEvent> drainEvents(
    rfb::RFBClient& client, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::vector<rfb::RFBEvent> all;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto event = client.events().next(std::chrono::milliseconds(100));
        if (event) {
            all.push_back(*event);
            if (std::holds_alternative<rfb::event::Disconnected>(*event)) {
                break;
            }
        }
    }
    return all;
}

// Waits for the first event of type E, returning it, or none at the end of the stream.
template <typename E>
std::optional<E> waitFor(rfb::RFBClient& client,
                         std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto event = client.events().next(std::chrono::milliseconds(100));
        if (!event) {
            continue;
        }
        if (auto* e = std::get_if<E>(&*event)) {
            return *e;
        }
        if (std::holds_alternative<rfb::event::Disconnected>(*event)) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

inline std::optional<rfb::RFBError> finalError(const std::vector<rfb::RFBEvent>& events) {
    if (events.empty()) {
        throw std::runtime_error("no events");
    }
    const auto* last = std::get_if<rfb::event::Disconnected>(&events.back());
    if (last == nullptr) {
        throw std::runtime_error("stream did not end with disconnected");
    }
    return last->error;
}

}  // namespace rfbtest
