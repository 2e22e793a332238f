#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUuid>
#include <memory>

namespace tessaral {

class AppCommands;
class AppState;
class BonjourBrowser;
class ConnectionStore;
class IdentityStore;
class KeychainService;
class LibraryView;
class SessionWindow;
class SettingsView;
class SystemClipboard;

// The application: the objects every window shares, created once, the library window, one
// window per computer, and the menus they all carry.
class TessaralApp : public QObject {
    Q_OBJECT

  public:
    // Needs a QApplication. An empty `libraryDirectory` means the user's own library.
    explicit TessaralApp(const QString& libraryDirectory = {}, QObject* parent = nullptr);
    ~TessaralApp() override;

    ConnectionStore& store() { return *store_; }
    IdentityStore& identities() { return *identities_; }
    AppState& appState() { return *appState_; }
    BonjourBrowser& browser() { return *browser_; }
    LibraryView& library() { return *library_; }

    // Shows the library window, or brings it forward.
    void showLibrary();
    // Shows the settings window, or brings it forward.
    void showPreferences();
    // Opens the window of that computer, or finds it open, and brings it forward.
    SessionWindow* openSession(const QUuid& id);
    // Hands a vnc:// link to the library window, which opens the computer it names.
    void openLink(const QString& link);
    // What a launch was given, this process's own or one handed over by a later launch: the
    // windows of its links in front of the library window, or without links the library window
    // brought forward.
    void openArguments(const QStringList& arguments);
    int openWindowCount() const;

  private:
    // Tells the user why the trusted identities could not be read, once the windows are up.
    void reportUnreadableIdentities();

    std::unique_ptr<KeychainService> keychain_;
    std::unique_ptr<ConnectionStore> store_;
    std::unique_ptr<IdentityStore> identities_;
    std::unique_ptr<AppState> appState_;
    std::unique_ptr<BonjourBrowser> browser_;
    std::unique_ptr<SystemClipboard> clipboard_;
    std::unique_ptr<AppCommands> commands_;
    std::unique_ptr<LibraryView> library_;
    QHash<QUuid, QPointer<SessionWindow>> windows_;
    QPointer<SettingsView> settings_;
};

}  // namespace tessaral
