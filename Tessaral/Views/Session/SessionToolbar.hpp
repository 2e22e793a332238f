#pragma once

#include <QPointer>
#include <QToolBar>

class QActionGroup;

namespace tessaral {

class VNCSession;

// The session window's controls: scaling, observe mode, keys, clipboard, quality, screenshot and
// disconnect, each enabled as the session's state allows.
class SessionToolbar : public QToolBar {
    Q_OBJECT

  public:
    explicit SessionToolbar(VNCSession* session, QWidget* parent = nullptr);

    QAction* scalingAction() const { return scaling_; }
    QAction* observeAction() const { return observe_; }
    QAction* keyboardAction() const { return keyboard_; }
    QAction* clipboardAction() const { return clipboard_; }
    QAction* qualityAction() const { return quality_; }
    QAction* screenshotAction() const { return screenshot_; }
    QAction* disconnectAction() const { return disconnect_; }
    QAction* typePasswordAction() const { return typePassword_; }

  signals:
    void typeTextRequested();
    void screenshotRequested();
    void closeRequested();

  private:
    QAction* addMenuAction(const QString& text, const QString& symbol, const QString& toolTip,
                           QMenu* menu);
    void refresh();

    QPointer<VNCSession> session_;
    QAction* scaling_;
    QAction* observe_;
    QAction* keyboard_;
    QAction* clipboard_;
    QAction* quality_;
    QAction* screenshot_;
    QAction* disconnect_;
    QAction* typePassword_;
    QAction* shareClipboard_;
    QActionGroup* qualities_;
};

}  // namespace tessaral
