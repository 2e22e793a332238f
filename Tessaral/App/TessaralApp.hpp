#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUuid>
#include <memory>

#include "SessionRouter.hpp"

namespace tessaral {

class AppState;
class BonjourBrowser;
class ConnectionStore;
class Keychain;
class SessionWindow;
class SystemClipboard;

// The application: the objects every window shares, created once, and one window per computer.
class TessaralApp : public QObject {
    Q_OBJECT

  public:
    // Needs a QApplication. An empty `libraryDirectory` means the user's own library.
    explicit TessaralApp(const QString& libraryDirectory = {}, QObject* parent = nullptr);
    ~TessaralApp() override;

    ConnectionStore& store() { return *store_; }
    AppState& appState() { return *appState_; }
    BonjourBrowser& browser() { return *browser_; }

    // Opens the window of that computer, or brings it forward when it is already open.
    SessionWindow* openSession(const QUuid& id);
    bool openLink(const QString& link) { return router_.openLink(link); }
    // What a launch was given, this process's own or one handed over by a later launch: opens
    // each link and brings the application forward. False when a link could not be opened.
    bool openArguments(const QStringList& arguments);
    int openWindowCount() const;

  private:
    void showAlert();

    std::unique_ptr<Keychain> keychain_;
    std::unique_ptr<ConnectionStore> store_;
    std::unique_ptr<AppState> appState_;
    std::unique_ptr<BonjourBrowser> browser_;
    std::unique_ptr<SystemClipboard> clipboard_;
    SessionRouter router_;
    QHash<QUuid, QPointer<SessionWindow>> windows_;
};

}  // namespace tessaral
