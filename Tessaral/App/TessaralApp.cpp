#include "TessaralApp.hpp"

#include <QMessageBox>

#include "App/AppState.hpp"
#include "LocalClipboard.hpp"
#include "Model/BonjourBrowser.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/SecretServiceKeychain.hpp"
#include "Views/Session/SessionWindow.hpp"

namespace tessaral {

TessaralApp::TessaralApp(const QString& libraryDirectory, QObject* parent)
    : QObject(parent),
      keychain_(std::make_unique<SecretServiceKeychain>()),
      store_(std::make_unique<ConnectionStore>(*keychain_, libraryDirectory)),
      appState_(std::make_unique<AppState>()),
      browser_(std::make_unique<BonjourBrowser>()),
      clipboard_(std::make_unique<SystemClipboard>()),
      router_(*store_, *appState_, [this](const QUuid& id) { openSession(id); }) {
    connect(appState_.get(), &AppState::alertChanged, this, &TessaralApp::showAlert);
}

TessaralApp::~TessaralApp() {
    // Windows end their sessions before the shared objects go.
    for (const QPointer<SessionWindow>& window : std::as_const(windows_)) {
        delete window.data();
    }
}

SessionWindow* TessaralApp::openSession(const QUuid& id) {
    if (SessionWindow* window = windows_.value(id)) {
        window->showNormal();
        window->raise();
        window->activateWindow();
        return window;
    }
    auto* window = new SessionWindow(*store_, *appState_, *keychain_, *clipboard_, id);
    window->setAttribute(Qt::WA_DeleteOnClose);
    windows_.insert(id, window);
    connect(window, &QObject::destroyed, this, [this, id] {
        if (!windows_.value(id)) {
            windows_.remove(id);
        }
    });
    window->show();
    return window;
}

bool TessaralApp::openArguments(const QStringList& arguments) {
    bool opened = true;
    for (const QString& argument : arguments) {
        opened = openLink(argument) && opened;
    }
    if (arguments.isEmpty()) {
        // A second start from the menu: the user wants to see the application.
        for (const QPointer<SessionWindow>& window : std::as_const(windows_)) {
            if (window) {
                window->raise();
                window->activateWindow();
            }
        }
    }
    return opened;
}

int TessaralApp::openWindowCount() const {
    int count = 0;
    for (const QPointer<SessionWindow>& window : windows_) {
        count += window ? 1 : 0;
    }
    return count;
}

void TessaralApp::showAlert() {
    const std::optional<AppState::AppAlert> alert = appState_->alert();
    if (!alert) {
        return;
    }
    // Until the library window presents the application's alerts, a message box does.
    appState_->setAlert(std::nullopt);
    QMessageBox::warning(nullptr, alert->title, alert->message);
}

}  // namespace tessaral
