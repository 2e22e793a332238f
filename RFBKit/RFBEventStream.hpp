#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "RFBConfiguration.hpp"

namespace rfb {

// The client's ordered, unbounded event stream. It ends after exactly one `disconnected`.
// A GUI main loop can watch fd(): it is readable exactly while events are queued.
class RFBEventStream {
  public:
    RFBEventStream();
    ~RFBEventStream();
    RFBEventStream(const RFBEventStream&) = delete;
    RFBEventStream& operator=(const RFBEventStream&) = delete;

    // Blocks until the next event; none once the stream has ended and been drained.
    std::optional<RFBEvent> next();
    // As next(), but gives up after `timeout`.
    std::optional<RFBEvent> next(std::chrono::milliseconds timeout);
    // Never blocks.
    std::optional<RFBEvent> tryNext();
    // True once `disconnected` has been queued.
    bool ended() const;
    int fd() const;

    // Producer side, used by the client's receive thread only. Events after the end are dropped.
    void send(RFBEvent event);

  private:
    std::optional<RFBEvent> popLocked();
    void signal(bool readable) const;

    mutable std::mutex mutex_;
    std::condition_variable available_;
    std::deque<RFBEvent> queue_;
    bool ended_ = false;
    int fd_ = -1;
    // The descriptor is kept in step only once somebody has asked for it, which spares readers
    // that block in next() two system calls per event.
    mutable bool watched_ = false;
};

}  // namespace rfb
