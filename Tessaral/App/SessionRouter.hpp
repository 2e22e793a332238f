#pragma once

#include <QString>
#include <QUuid>
#include <functional>

namespace tessaral {

class AppState;
class ConnectionStore;

// Turns a vnc:// link into an open session window: finds or files the computer it names, hands
// a password the link carried to the window about to open, and opens it. Shared by whatever
// receives links (the command line now, the library window later).
class SessionRouter {
  public:
    using OpenSession = std::function<void(const QUuid& id)>;

    SessionRouter(ConnectionStore& store, AppState& appState, OpenSession openSession);

    // False when the link is not an address; the application alert then says why.
    bool openLink(const QString& link);

  private:
    ConnectionStore& store_;
    AppState& appState_;
    OpenSession openSession_;
};

}  // namespace tessaral
