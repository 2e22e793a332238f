#pragma once

#include <QCursor>
#include <QPointer>
#include <QRectF>
#include <QWidget>
#include <optional>

#include "GLScreen.hpp"
#include "KeyboardInput.hpp"
#include "Model/Connection.hpp"
#include "PointerInput.hpp"

namespace tessaral {

class VNCSession;

// Draws the session's newest frame and forwards local keyboard, mouse and wheel input to the
// session, which decides what reaches the server. The frame is drawn from the client's newest,
// never copied nor held between paints.
class FramebufferView : public QWidget {
    Q_OBJECT

  public:
    explicit FramebufferView(QWidget* parent = nullptr);
    FramebufferView(ScreenPath path, QWidget* parent = nullptr);

    VNCSession* session() const { return session_; }
    void setSession(VNCSession* session);

    // A new frame from the session, or the mode changed. Repaints only what the frame changed when
    // neither its size nor the mode changed. Returns whether the image rectangle may have moved.
    bool updateImage(ScalingMode scaling);
    void updateCursor(bool hideLocal);

    ScalingMode scaling() const { return scaling_; }
    QSize imageSize() const { return imageSize_; }
    // The OpenGL screen drawing the frame, or null where this view paints it.
    GLScreen* glScreen() const { return glScreen_; }
    // Where the frame is drawn, in this view's coordinates; empty without a frame.
    QRectF imageRect() const;
    // What the pointer shows over the image; none means the local arrow.
    const std::optional<QCursor>& remoteCursor() const { return remoteCursor_; }

  protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    bool acceptsInput() const;
    void send(const std::vector<PointerAction>& actions);
    void releaseInput();
    // The remote cursor over the image while input is on, the arrow elsewhere.
    void applyCursor(QPointF position);

    // Where `damage` (frame pixels) shows in this view, widened by the scaling filter's reach.
    QRegion viewDamage(const QRegion& damage) const;

    QPointer<VNCSession> session_;
    // Draws the frame where OpenGL works; this view paints it itself otherwise.
    GLScreen* glScreen_ = nullptr;
    ScalingMode scaling_ = ScalingMode::fit;
    QSize imageSize_;
    // The frame whose damage was last applied: options and state changes show the same frame.
    quint64 shownFrame_ = 0;
    std::optional<QCursor> remoteCursor_;
    bool showingRemoteCursor_ = false;
    // Follows the buttons as they are pressed, also while input is off, so that the mask sent
    // when it comes back on is what the hand holds.
    PointerInput pointer_;
};

}  // namespace tessaral
