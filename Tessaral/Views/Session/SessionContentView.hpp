#pragma once

#include <QPointer>
#include <QWidget>

class QFrame;
class QLabel;
class QPropertyAnimation;
class QVariantAnimation;

namespace tessaral {

class RemoteScreenView;
class StatePanel;
class VNCSession;

// The session window's content: the remote screen, dimmed while not connected, the state panel
// over it and the clipboard notice at the top.
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
};

}  // namespace tessaral
