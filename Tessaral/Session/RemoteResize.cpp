#include "RemoteResize.hpp"

#include <algorithm>

namespace tessaral {

namespace {

constexpr qint64 intervalMs = 100;
// The largest desktop the client shows.
constexpr int maxDimension = 16384;

QString refusalText(rfb::event::DesktopLayout::Status status) {
    using Status = rfb::event::DesktopLayout::Status;
    switch (status) {
        case Status::prohibited:
            return QObject::tr("The remote computer does not allow its screen to be resized.");
        case Status::outOfResources:
            return QObject::tr("The remote computer has no resources for a screen of this size.");
        default:
            return QObject::tr("The remote computer refused the screen size.");
    }
}

}  // namespace

RemoteResize::RemoteResize(std::function<void(QSize, const std::vector<rfb::RFBScreen>&)> send,
                           QObject* parent)
    : QObject(parent), send_(std::move(send)) {
    due_.setSingleShot(true);
    connect(&due_, &QTimer::timeout, this, &RemoteResize::sendIfDue);
}

bool RemoteResize::active() const {
    return enabled_ && !screens_.empty() && !refusal_;
}

void RemoteResize::update(const std::function<void()>& change) {
    const bool before = active();
    change();
    if (active() != before) {
        emit activeChanged();
    }
    sendIfDue();
}

void RemoteResize::setEnabled(bool enabled) {
    update([&] { enabled_ = enabled; });
}

void RemoteResize::setWindowSize(QSize devicePixels) {
    window_ = devicePixels.boundedTo({maxDimension, maxDimension}).expandedTo({1, 1});
    sendIfDue();
}

void RemoteResize::reset() {
    update([&] {
        screens_.clear();
        remote_ = {};
        pending_ = false;
        refusal_.reset();
        due_.stop();
    });
}

void RemoteResize::layoutReceived(const rfb::event::DesktopLayout& layout) {
    using Layout = rfb::event::DesktopLayout;
    const bool answer = layout.reason == Layout::Reason::thisClient;
    if (answer && layout.status != Layout::Status::done) {
        const bool first = !refusal_;
        update([&] {
            pending_ = false;
            refusal_ = refusalText(layout.status);
        });
        if (first) {
            emit refused();
        }
        return;
    }
    update([&] {
        pending_ = pending_ && !answer;
        remote_ = QSize(int(layout.width), int(layout.height));
        screens_ = layout.screens;
    });
}

void RemoteResize::sendIfDue() {
    if (!active() || pending_ || !window_ || *window_ == remote_) {
        return;
    }
    if (sinceSent_.isValid() && sinceSent_.elapsed() < intervalMs) {
        if (!due_.isActive()) {
            due_.start(int(intervalMs - sinceSent_.elapsed()));
        }
        return;
    }
    // One screen fills the new size, keeping the id and flags the server gave the first; a
    // layout of several screens cannot follow one window, and becomes that one.
    rfb::RFBScreen screen = screens_.front();
    screen.x = screen.y = 0;
    screen.width = window_->width();
    screen.height = window_->height();
    pending_ = true;
    sinceSent_.start();
    send_(*window_, {screen});
}

}  // namespace tessaral
