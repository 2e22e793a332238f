#pragma once

#include <QPointer>
#include <QScrollArea>

namespace tessaral {

class FramebufferView;
class VNCSession;

// The remote screen in a black scroll area: fitted to the visible area, or at actual size and
// scrollable. Follows the session's frame, cursor, options and state, and sizes its window to the
// remote screen once, when the first frame arrives.
class RemoteScreenView : public QScrollArea {
    Q_OBJECT

  public:
    explicit RemoteScreenView(VNCSession* session, QWidget* parent = nullptr);

    FramebufferView* framebufferView() const { return view_; }

  protected:
    bool viewportEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void frameChanged();
    void optionsOrStateChanged();
    void updateCursor();
    void layoutView();
    void sizeWindowToScreen();
    void followScreenRefresh();

    QPointer<VNCSession> session_;
    FramebufferView* view_;
    bool didSizeWindow_ = false;
};

}  // namespace tessaral
