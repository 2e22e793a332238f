#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>
#include <QUuid>
#include <memory>
#include <optional>

#include "KeyboardCapture.hpp"

namespace tessaral {

class AppState;
class ConnectionMenu;
class ConnectionStore;
class FullScreenBar;
class IdentityStore;
class KeychainService;
class LocalClipboard;
class SessionActions;
class SessionContentView;
class SessionToolbar;
class VNCSession;
class WaylandShortcutsInhibitor;

// The window of one computer: creates its session when first shown, connects, and disconnects
// when closed. Its title is the computer's name and the session's status.
class SessionWindow : public QMainWindow {
    Q_OBJECT

  public:
    // `store`, `identities`, `appState`, `keychain` and `clipboard` must outlive the window.
    SessionWindow(ConnectionStore& store, IdentityStore& identities, AppState& appState,
                  KeychainService& keychain, LocalClipboard& clipboard,
                  std::optional<QUuid> connectionID, QWidget* parent = nullptr);
    ~SessionWindow() override;

    ConnectionMenu* connectionMenu() const { return connectionMenu_; }

    // Asks where to save the current frame as PNG and writes it there.
    void saveScreenshot();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Watches the pointer for the full-screen bar, and the shortcuts that must get the keyboard.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void start();
    void updateTitle();
    void stateChanged();
    // The sheet that asks what the session's state asks of the user, over the window.
    void present(QDialog* sheet);
    void closeSheet();
    void showTypeText();
    // Full screen on the monitor the window is on.
    void setFullScreen(bool on);
    void fullScreenChanged();
    // Grabs or releases the keyboard (on Wayland: the compositor's shortcuts) as the window's
    // state now asks.
    void updateCapture();

    ConnectionStore& store_;
    IdentityStore& identities_;
    AppState& appState_;
    KeychainService& keychain_;
    LocalClipboard& clipboard_;
    std::optional<QUuid> connectionID_;
    QPointer<VNCSession> session_;
    SessionContentView* content_ = nullptr;
    SessionToolbar* toolbar_ = nullptr;
    FullScreenBar* fullScreenBar_ = nullptr;
    KeyboardCapture capture_;
    // Made on the first capture on Wayland.
    std::unique_ptr<WaylandShortcutsInhibitor> inhibitor_;
    bool handlingShortcut_ = false;
    SessionActions* actions_;
    ConnectionMenu* connectionMenu_;
    QPointer<QDialog> sheet_;
    bool closed_ = false;
};

}  // namespace tessaral
