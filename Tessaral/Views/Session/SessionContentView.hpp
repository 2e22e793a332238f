#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <optional>

class QFrame;
class QLabel;
class QPropertyAnimation;
class QVariantAnimation;

namespace tessaral {

class RemoteScreenView;
class StatePanel;
class VNCSession;

// The session window's content: the remote screen, dimmed while not connected, the state panel
// over it and notices at the top: the clipboard's, and a refused remote resize.
class SessionContentView : public QWidget {
    Q_OBJECT

  public:
    explicit SessionContentView(VNCSession* session, QWidget* parent = nullptr);

    RemoteScreenView* screen() const { return screen_; }
    StatePanel* statePanel() const { return panel_; }
    // The screen's opacity the state asks for (the animation moves towards it).
    qreal screenOpacity() const { return targetOpacity_; }

  signals:
    void closeRequested();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void stateChanged();
    void clipboardActivityChanged();
    // Slides the notice in with `text`, or out without.
    void showNotice(const std::optional<QString>& text);
    void setDimming(qreal opacity);
    void placeOverlays();
    QPoint noticePosition(bool shown) const;

    QPointer<VNCSession> session_;
    RemoteScreenView* screen_;
    QWidget* dimming_;
    StatePanel* panel_;
    QFrame* notice_;
    QLabel* noticeText_;
    QVariantAnimation* dimAnimation_;
    QPropertyAnimation* noticeAnimation_;
    qreal targetOpacity_ = 1.0;
    bool noticeShown_ = false;
    QTimer refusalShown_;
};

}  // namespace tessaral
