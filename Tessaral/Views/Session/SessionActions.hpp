#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

class QAction;
class QActionGroup;
class QMenu;
class QWidget;

namespace tessaral {

struct ConnectionOptions;
class VNCSession;

// The commands of one window's session, one action each, shown alike by its toolbar and its
// Connection menu; refresh() is the one place that decides what is enabled, checked and named.
// Without a session (the library window's menu) every command is disabled. The window connects
// the commands that are its own to do: screenshot, type text, disconnect.
class SessionActions : public QObject {
    Q_OBJECT

  public:
    // The menus belong to `window`.
    explicit SessionActions(QWidget* window);

    void setSession(VNCSession* session);

    QAction* scaling() const { return scaling_; }
    QAction* observe() const { return observe_; }
    QActionGroup* qualities() const { return qualities_; }
    QAction* refresh() const { return refresh_; }
    QAction* sendClipboard() const { return sendClipboard_; }
    QAction* getClipboard() const { return getClipboard_; }
    QAction* shareClipboard() const { return shareClipboard_; }
    QAction* resizeRemote() const { return resizeRemote_; }
    // Checked while the window is full screen; the window does the switching.
    QAction* fullScreen() const { return fullScreen_; }
    // One per remote shortcut, in their order.
    const QList<QAction*>& sendKeys() const { return sendKeys_; }
    QAction* typeText() const { return typeText_; }
    QAction* typePassword() const { return typePassword_; }
    QAction* screenshot() const { return screenshot_; }
    QAction* reconnect() const { return reconnect_; }
    QAction* disconnect() const { return disconnect_; }

    // The toolbar's menus.
    QMenu* keyboardMenu() const { return keyboardMenu_; }
    QMenu* clipboardMenu() const { return clipboardMenu_; }
    QMenu* qualityMenu() const { return qualityMenu_; }
    // The Connection menu's submenus.
    QMenu* qualitySubmenu() const { return qualitySubmenu_; }
    QMenu* sendKeysSubmenu() const { return sendKeysSubmenu_; }

  private:
    QAction* command(const QString& text, const QString& symbol, const QString& keys,
                     std::function<void(VNCSession&)> run);
    void changeOptions(const std::function<void(ConnectionOptions&)>& change);
    void update();

    QPointer<VNCSession> session_;
    QAction* scaling_;
    QAction* observe_;
    QActionGroup* qualities_;
    QAction* refresh_;
    QAction* sendClipboard_;
    QAction* getClipboard_;
    QAction* shareClipboard_;
    QAction* resizeRemote_;
    QAction* fullScreen_;
    QList<QAction*> sendKeys_;
    QAction* typeText_;
    QAction* typePassword_;
    QAction* screenshot_;
    QAction* reconnect_;
    QAction* disconnect_;
    QMenu* keyboardMenu_;
    QMenu* clipboardMenu_;
    QMenu* qualityMenu_;
    QMenu* qualitySubmenu_;
    QMenu* sendKeysSubmenu_;
};

}  // namespace tessaral
