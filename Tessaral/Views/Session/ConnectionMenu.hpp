#pragma once

#include <QMenu>
#include <QPointer>

class QActionGroup;

namespace tessaral {

class VNCSession;

// The "Connection" menu of a session window, acting on that window's session; every item is
// disabled while the window has none.
class ConnectionMenu : public QMenu {
    Q_OBJECT

  public:
    explicit ConnectionMenu(QWidget* parent = nullptr);

    void setSession(VNCSession* session);

    QAction* scalingAction() const { return scaling_; }
    QAction* observeAction() const { return observe_; }
    QAction* qualityAction() const { return quality_->menuAction(); }
    QAction* refreshAction() const { return refresh_; }
    QAction* sendClipboardAction() const { return sendClipboard_; }
    QAction* getClipboardAction() const { return getClipboard_; }
    QAction* sendKeysAction() const { return sendKeys_->menuAction(); }
    QAction* typePasswordAction() const { return typePassword_; }
    QAction* screenshotAction() const { return screenshot_; }
    QAction* reconnectAction() const { return reconnect_; }

  signals:
    void screenshotRequested();

  private:
    QAction* addCommand(const QString& text, const QString& keys);
    void refresh();

    QPointer<VNCSession> session_;
    QAction* scaling_;
    QAction* observe_;
    QMenu* quality_;
    QActionGroup* qualities_;
    QAction* refresh_;
    QAction* sendClipboard_;
    QAction* getClipboard_;
    QMenu* sendKeys_;
    QAction* typePassword_;
    QAction* screenshot_;
    QAction* reconnect_;
};

}  // namespace tessaral
