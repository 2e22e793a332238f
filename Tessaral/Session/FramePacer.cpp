#include "FramePacer.hpp"

#include <algorithm>

namespace tessaral {

FramePacer::FramePacer(std::function<void()> take, QObject* parent)
    : QObject(parent), take_(std::move(take)) {
    heldBack_.setSingleShot(true);
    heldBack_.setTimerType(Qt::PreciseTimer);
    connect(&heldBack_, &QTimer::timeout, this, &FramePacer::take);
}

void FramePacer::setRefreshRate(double hertz) {
    interval_ = std::chrono::nanoseconds(std::int64_t(1e9 / std::clamp(hertz, 24.0, 500.0)));
}

void FramePacer::frameAvailable() {
    if (heldBack_.isActive()) {
        return;
    }
    const std::chrono::nanoseconds since =
        sinceTaken_.isValid() ? std::chrono::nanoseconds(sinceTaken_.nsecsElapsed()) : interval_;
    if (since >= interval_) {
        take();
    } else {
        heldBack_.start(std::chrono::ceil<std::chrono::milliseconds>(interval_ - since));
    }
}

void FramePacer::flush() {
    if (heldBack_.isActive()) {
        take();
    }
}

void FramePacer::stop() {
    heldBack_.stop();
}

void FramePacer::take() {
    heldBack_.stop();
    sinceTaken_.start();
    take_();
}

}  // namespace tessaral
