#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>
#include <functional>
#include <optional>
#include <vector>

#include "RFBConfiguration.hpp"

namespace tessaral {

// Keeps the remote desktop at the size of the window showing it, where the server lets clients
// choose: one request at a time, at most one every 100 ms, always for the newest window size.
// A refusal ends it for the connection, so that a server that refuses is not asked again.
class RemoteResize : public QObject {
    Q_OBJECT

  public:
    // `send` asks the server for a desktop of that size and those screens.
    explicit RemoteResize(std::function<void(QSize, const std::vector<rfb::RFBScreen>&)> send,
                          QObject* parent = nullptr);

    // The computer's option; off leaves the remote size as it is.
    void setEnabled(bool enabled);
    // The area showing the remote desktop, in device pixels.
    void setWindowSize(QSize devicePixels);
    void layoutReceived(const rfb::event::DesktopLayout& layout);
    // A new connection: nothing is known of its server yet.
    void reset();

    // The remote desktop follows the window, which then shows it at one pixel per pixel.
    bool active() const;
    // Why the server refused, once it has; for the window to show.
    const std::optional<QString>& refusal() const { return refusal_; }

  signals:
    void activeChanged();
    void refused();

  private:
    void sendIfDue();
    void update(const std::function<void()>& change);

    std::function<void(QSize, const std::vector<rfb::RFBScreen>&)> send_;
    bool enabled_ = true;
    std::optional<QSize> window_;
    QSize remote_;
    std::vector<rfb::RFBScreen> screens_;
    bool pending_ = false;
    std::optional<QString> refusal_;
    QElapsedTimer sinceSent_;
    QTimer due_;
};

}  // namespace tessaral
