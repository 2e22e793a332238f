#include "TessaralApp.hpp"

#include "LocalClipboard.hpp"
#include "Model/BonjourBrowser.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "Model/SecretServiceKeychain.hpp"
#include "State/AppState.hpp"
#include "Views/AppCommands.hpp"
#include "Views/Library/LibraryView.hpp"
#include "Views/Session/SessionWindow.hpp"
#include "Views/Settings/SettingsView.hpp"

namespace tessaral {

TessaralApp::TessaralApp(const QString& libraryDirectory, QObject* parent)
    : QObject(parent),
      keychain_(std::make_unique<KeychainService>(std::make_shared<SecretServiceKeychain>())),
      store_(std::make_unique<ConnectionStore>(*keychain_, libraryDirectory)),
      identities_(std::make_unique<IdentityStore>(store_->directory())),
      appState_(std::make_unique<AppState>()),
      browser_(std::make_unique<BonjourBrowser>()),
      clipboard_(std::make_unique<SystemClipboard>()) {
    commands_ = std::make_unique<AppCommands>(
        *store_, *appState_,
        AppCommands::Windows{[this] { showLibrary(); }, [this] { showPreferences(); }});
    library_ = std::make_unique<LibraryView>(*store_, *appState_, *browser_, *keychain_,
                                             [this](const QUuid& id) { openSession(id); });
    library_->installCommands(*commands_);
    QMetaObject::invokeMethod(this, &TessaralApp::reportUnreadableIdentities, Qt::QueuedConnection);
}

void TessaralApp::reportUnreadableIdentities() {
    const std::optional<StoreFile::Unreadable>& unreadable = identities_->unreadableFile();
    if (!unreadable) {
        return;
    }
    const QString kept = unreadable->movedTo
                             ? tr("It was moved aside as “%1”.").arg(*unreadable->movedTo)
                             : tr("It was left in place and will not be overwritten.");
    appState_->setAlert(AppState::AppAlert{
        tr("Trusted Identities Couldn’t Be Read"),
        tr("The file of the server identities you trusted is damaged (%1). %2 Computers you "
           "trusted ask again on their next connection.")
            .arg(unreadable->reason, kept)});
}

TessaralApp::~TessaralApp() {
    // Windows end their sessions before the shared objects go.
    for (const QPointer<SessionWindow>& window : std::as_const(windows_)) {
        delete window.data();
    }
    delete settings_.data();
    library_.reset();
}

void TessaralApp::showLibrary() {
    library_->showNormal();
    library_->raise();
    library_->activateWindow();
}

void TessaralApp::showPreferences() {
    if (!settings_) {
        settings_ = new SettingsView(*store_, *identities_);
        settings_->setAttribute(Qt::WA_DeleteOnClose);
    }
    settings_->show();
    settings_->raise();
    settings_->activateWindow();
}

SessionWindow* TessaralApp::openSession(const QUuid& id) {
    // A closed window's entry goes null by itself and is reused here: reading it while the
    // window is being destroyed would look at half an object.
    QPointer<SessionWindow>& window = windows_[id];
    if (!window) {
        window = new SessionWindow(*store_, *identities_, *appState_, *keychain_, *clipboard_, id);
        window->setAttribute(Qt::WA_DeleteOnClose);
        commands_->install(window, window->connectionMenu());
    }
    window->showNormal();
    window->raise();
    window->activateWindow();
    return window;
}

void TessaralApp::openLink(const QString& link) {
    library_->handle(link);
}

void TessaralApp::openArguments(const QStringList& arguments) {
    if (arguments.isEmpty()) {
        showLibrary();
        return;
    }
    // The windows the links open come to the front; the library is there behind them.
    library_->show();
    for (const QString& argument : arguments) {
        openLink(argument);
    }
}

int TessaralApp::openWindowCount() const {
    int count = 0;
    for (const QPointer<SessionWindow>& window : windows_) {
        count += window ? 1 : 0;
    }
    return count;
}

}  // namespace tessaral
