#pragma once

// An in-process RFB server on a loopback port, scripted byte by byte, for exact sequences and
// malformed input. The script runs on its own thread against one accepted client. Also what the
// tests against real servers share with these: loopback sockets, configurations, the log.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <future>
#include <initializer_list>
#include <mutex>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
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

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Byte streams as a server sends them: big-endian fields, built by chaining or by `+`.
struct Bytes : std::vector<std::uint8_t> {
    using vector::vector;
    Bytes& u8(unsigned value) { return push_back(std::uint8_t(value)), *this; }
    Bytes& u16(unsigned value) { return u8(value >> 8).u8(value); }
    Bytes& u32(std::uint32_t value) { return u16(value >> 16).u16(value & 0xFFFF); }
    Bytes& raw(std::span<const std::uint8_t> bytes) {
        return insert(end(), bytes.begin(), bytes.end()), *this;
    }
    // Byte by byte: GCC 12's Release build takes a range insert of wider values for an overflow.
    Bytes& raw(std::initializer_list<unsigned> bytes) {
        return std::ranges::for_each(bytes, [this](unsigned byte) { u8(byte); }), *this;
    }
    Bytes& text(std::string_view s) { return insert(end(), s.begin(), s.end()), *this; }
    Bytes& repeat(std::size_t count, unsigned value) {
        return insert(end(), count, std::uint8_t(value)), *this;
    }
    // An rgb888 pixel word as its four little-endian wire bytes; `bytes` 3 gives a ZRLE CPIXEL.
    Bytes& pixel(std::uint32_t word, int bytes = 4) {
        return bytes == 0 ? *this : u8(word).pixel(word >> 8, bytes - 1);
    }
    Bytes& rect(unsigned x, unsigned y, unsigned width, unsigned height, std::int32_t encoding) {
        return u16(x).u16(y).u16(width).u16(height).u32(std::uint32_t(encoding));
    }
    friend Bytes operator+(Bytes a, const Bytes& b) { return std::move(a.raw(b)); }
};

// Single fields, to start a concatenation with.
inline Bytes text(std::string_view s) {
    return Bytes().text(s);
}
inline Bytes u16(unsigned v) {
    return Bytes().u16(v);
}
inline Bytes u32(std::int64_t v) {
    return Bytes().u32(std::uint32_t(v));
}
inline Bytes rect(unsigned x, unsigned y, unsigned width, unsigned height, std::int32_t encoding) {
    return Bytes().rect(x, y, width, height, encoding);
}

inline sockaddr_in loopback(int port) {
    return {AF_INET, htons(std::uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
}

// A listening socket on a port the kernel chose.
inline int listenOnLoopback(int& port, int backlog = 4) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("cannot listen on loopback: ") + std::strerror(errno));
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A connected socket, or -1.
inline int connectToLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The server's end of one connection; failures throw, which ends the script.
class Peer {
  public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() { ::close(fd_); }
    void hangUp() { ::shutdown(fd_, SHUT_RDWR); }

    void write(const Bytes& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("client closed the connection");
            }
            sent += std::size_t(n);
        }
    }

    Bytes read(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        Bytes out(count);
        for (std::size_t got = 0; got < count;) {
            pollfd p{fd_, POLLIN, 0};
            ssize_t n = ::poll(&p, 1, int(timeout.count())) > 0
                            ? ::recv(fd_, out.data() + got, count - got, 0)
                            : 0;
            if (n <= 0) {
                throw std::runtime_error("client closed the connection or sent nothing");
            }
            got += std::size_t(n);
        }
        return out;
    }

    // True when the client closes its end within `timeout`; what it sends meanwhile is dropped.
    bool waitForClose(std::chrono::milliseconds timeout = 10s) {
        std::uint8_t sink[4096];
        for (auto end = Clock::now() + timeout; Clock::now() < end;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(fd_, sink, sizeof sink, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

  private:
    int fd_;
};

class FakeServer {
  public:
    using Script = std::function<void(Peer&)>;

    // Without a script nothing is accepted; a backlog of 0 then leaves connects unanswered.
    explicit FakeServer(Script script, int backlog = 4)
        : listener_(listenOnLoopback(port_, backlog)) {
        if (script) {
            thread_ = std::thread([this, script = std::move(script)] {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 20'000) > 0) {
                    Peer peer(::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC));
                    try {
                        script(peer);
                    } catch (const std::exception&) {
                        // The client's side of the test says what went wrong.
                    }
                }
            });
        }
    }
    ~FakeServer() {
        join();
        ::close(listener_);
    }

    std::uint16_t port() const { return std::uint16_t(port_); }
    rfb::RFBEndpoint endpoint() const { return rfb::RFBEndpoint::host("127.0.0.1", port()); }
    void join() { thread_.joinable() ? thread_.join() : void(); }

  private:
    int port_ = 0;  // before the listener, which sets it
    int listener_;
    std::thread thread_;
};

inline Bytes serverInit(std::uint16_t width, std::uint16_t height, std::string_view name) {
    Bytes format{32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0};
    return u16(width) + u16(height) + format + u32(std::uint32_t(name.size())) + text(name);
}

// Version 3.8, security None, ServerInit, sent at once; reads what the client sends up to
// ClientInit.
inline void acceptWithoutSecurity(Peer& peer, std::uint16_t width = 64, std::uint16_t height = 48,
                                  std::string_view name = "fake") {
    peer.write(text("RFB 003.008\n") + Bytes{1, 1} + u32(0) + serverInit(width, height, name));
    peer.read(12 + 1 + 1);
}

// Takes what the library logs while it lives, instead of printing it.
class LogCapture {
  public:
    using Lines = std::vector<std::pair<rfb::LogLevel, std::string>>;
    LogCapture() {
        rfb::setLogSink([this](rfb::LogLevel level, std::string_view message) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(level, message);
        });
    }
    ~LogCapture() { rfb::setLogSink(nullptr); }
    Lines lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    std::mutex mutex_;
    Lines lines_;
};

inline rfb::RFBConfiguration configurationFor(const rfb::RFBEndpoint& endpoint,
                                              std::chrono::duration<double> connectTimeout = 5s,
                                              std::optional<rfb::RFBCredentials> credentials = {},
                                              rfb::RFBQuality quality = rfb::RFBQuality::full) {
    return {.endpoint = endpoint,
            .credentials = std::move(credentials),
            .quality = quality,
            .connectTimeout = connectTimeout};
}

// A started client and the server's end of its connection, which the test drives itself; the
// server's thread only holds the connection open until the test is done with it.
struct DrivenClient {
    DrivenClient()
        : server([this](Peer& connection) {
              accepted.set_value(&connection);
              released.get_future().wait();
          }),
          client(configurationFor(server.endpoint())) {
        client.start();
        auto connection = accepted.get_future();
        if (connection.wait_for(20s) != std::future_status::ready) {
            released.set_value();
            throw std::runtime_error("the client never connected");
        }
        peer = connection.get();
    }
    ~DrivenClient() {
        client.stop();
        released.set_value();
    }

    std::promise<Peer*> accepted;
    std::promise<void> released;
    FakeServer server;
    rfb::RFBClient client;
    Peer* peer = nullptr;
};

// Waits for the first event of type E, or none at the end of the stream; `seen` collects all.
template <typename E>
std::optional<E> waitFor(rfb::RFBClient& client, std::chrono::milliseconds timeout = 20s,
                         std::vector<rfb::RFBEvent>* seen = nullptr) {
    for (auto end = Clock::now() + timeout; Clock::now() < end;) {
        if (auto event = client.events().next(100ms)) {
            seen ? seen->push_back(*event) : void();
            if (auto* e = std::get_if<E>(&*event)) {
                return *e;
            }
            if (std::holds_alternative<rfb::event::Disconnected>(*event)) {
                return std::nullopt;
            }
        }
    }
    return std::nullopt;
}

// The events until the stream ends (or the time-out passes).
inline std::vector<rfb::RFBEvent> drainEvents(rfb::RFBClient& client,
                                              std::chrono::milliseconds timeout = 20s) {
    std::vector<rfb::RFBEvent> all;
    waitFor<rfb::event::Disconnected>(client, timeout, &all);
    return all;
}

// The error the stream ended with; throws unless it ended.
inline std::optional<rfb::RFBError> finalError(const std::vector<rfb::RFBEvent>& events) {
    return std::get<rfb::event::Disconnected>(events.at(events.size() - 1)).error;
}

// A client connected without security to a screen of the given size, past the session start:
// SetPixelFormat, SetEncodings and the first request, which it sends together.
struct Session : DrivenClient {
    explicit Session(std::uint16_t width = 4, std::uint16_t height = 4) {
        acceptWithoutSecurity(*peer, width, height);
        const auto& c = client.configuration();
        peer->read(20 + 4 + 4 * rfb::RFBClient::encodings(c.quality, c.localCursor).size() + 10);
        if (!waitFor<rfb::event::Connected>(client)) {
            throw std::runtime_error("the session never started");
        }
    }
    // Sends `message` and returns the next `length` bytes the client sends.
    Bytes answer(const Bytes& message, std::size_t length = 10) {
        peer->write(message);
        return peer->read(length);
    }
};

// Runs a client with `configuration` to the end of its stream; its final error.
inline std::optional<rfb::RFBError> errorOfRun(const rfb::RFBConfiguration& configuration) {
    rfb::RFBClient client(configuration);
    client.start();
    return finalError(drainEvents(client));
}

}  // namespace rfbtest
