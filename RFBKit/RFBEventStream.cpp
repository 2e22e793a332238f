#include "RFBEventStream.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace rfb {

RFBEventStream::RFBEventStream() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd_ < 0) {
        throw std::runtime_error(std::strerror(errno));
    }
}

RFBEventStream::~RFBEventStream() {
    ::close(fd_);
}

void RFBEventStream::send(RFBEvent event) {
    std::lock_guard lock(mutex_);
    if (ended_) {
        return;
    }
    ended_ = std::holds_alternative<event::Disconnected>(event);
    queue_.push_back(std::move(event));
    if (queue_.size() == 1) {
        signal(true);
    }
    available_.notify_all();
}

int RFBEventStream::fd() const {
    std::lock_guard lock(mutex_);
    if (!watched_) {
        watched_ = true;
        if (!queue_.empty()) {
            signal(true);
        }
    }
    return fd_;
}

void RFBEventStream::signal(bool readable) const {
    if (!watched_) {
        return;
    }
    std::uint64_t value = 1;
    if (readable) {
        [[maybe_unused]] auto written = ::write(fd_, &value, sizeof value);
    } else {
        [[maybe_unused]] auto read = ::read(fd_, &value, sizeof value);
    }
}

// The descriptor stays readable exactly while the queue is non-empty.
std::optional<RFBEvent> RFBEventStream::popLocked() {
    if (queue_.empty()) {
        return std::nullopt;
    }
    RFBEvent event = std::move(queue_.front());
    queue_.pop_front();
    if (queue_.empty()) {
        signal(false);
    }
    return event;
}

std::optional<RFBEvent> RFBEventStream::next() {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [this] { return !queue_.empty() || ended_; });
    return popLocked();
}

std::optional<RFBEvent> RFBEventStream::next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    available_.wait_for(lock, timeout, [this] { return !queue_.empty() || ended_; });
    return popLocked();
}

std::optional<RFBEvent> RFBEventStream::tryNext() {
    std::lock_guard lock(mutex_);
    return popLocked();
}

bool RFBEventStream::ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

}  // namespace rfb
