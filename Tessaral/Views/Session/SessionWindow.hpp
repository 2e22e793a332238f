#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QUuid>
#include <optional>

namespace tessaral {

class AppState;
class ConnectionMenu;
class ConnectionStore;
class CredentialsSheet;
class KeychainService;
class LocalClipboard;
class SessionContentView;
class SessionToolbar;
class VNCSession;

// The window of one computer: creates its session when first shown, connects, and disconnects
// when closed. Its title is the computer's name and the session's status.
class SessionWindow : public QMainWindow {
    Q_OBJECT

  public:
    // `store`, `appState`, `keychain` and `clipboard` must outlive the window.
    SessionWindow(ConnectionStore& store, AppState& appState, KeychainService& keychain,
                  LocalClipboard& clipboard, std::optional<QUuid> connectionID,
                  QWidget* parent = nullptr);
    ~SessionWindow() override;

    const std::optional<QUuid>& connectionID() const { return connectionID_; }
    VNCSession* session() const;
    SessionContentView* content() const { return content_; }
    SessionToolbar* toolbar() const { return toolbar_; }
    ConnectionMenu* connectionMenu() const { return connectionMenu_; }
    CredentialsSheet* credentialsSheet() const;

    // Asks where to save the current frame as PNG and writes it there.
    void saveScreenshot();

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void start();
    void updateTitle();
    void stateChanged();
    void closeCredentialsSheet();
    void showTypeText();

    ConnectionStore& store_;
    AppState& appState_;
    KeychainService& keychain_;
    LocalClipboard& clipboard_;
    std::optional<QUuid> connectionID_;
    QPointer<VNCSession> session_;
    SessionContentView* content_ = nullptr;
    SessionToolbar* toolbar_ = nullptr;
    ConnectionMenu* connectionMenu_ = nullptr;
    QPointer<CredentialsSheet> credentials_;
    bool closed_ = false;
};

}  // namespace tessaral
