#pragma once

#include <QPoint>
#include <QPointF>
#include <QRectF>
#include <QSize>
#include <Qt>
#include <cstdint>
#include <optional>
#include <vector>

namespace tessaral {

// One RFB PointerEvent to send, in framebuffer pixels (the client clamps them).
struct PointerAction {
    int x = 0;
    int y = 0;
    std::uint8_t buttons = 0;
    bool operator==(const PointerAction&) const = default;
};

// What the screen view forwards of a wheel event.
struct WheelRecord {
    QPointF position;           // view coordinates
    QPoint angleDelta;          // eighths of a degree: 120 per notch of a classic wheel
    QPoint pixelDelta;          // precise touchpad deltas in pixels; null for a classic wheel
    bool gestureEnded = false;  // Qt::ScrollEnd: the remainder of the gesture is dropped
};

// The framebuffer pixel under a view position, given where the frame is drawn and its size in
// pixels; none while no frame is drawn.
std::optional<QPoint> remotePoint(QPointF position, const QRectF& imageRect, QSize imageSize);

// Mouse buttons and the wheel as an RFB button mask (1 left, 2 middle and any other, 4 right,
// 8/16 wheel up/down, 32/64 wheel left/right). Wheel notches are sent as a press and a release of
// their button with any held buttons kept in the mask; fractions of a notch are carried over.
class PointerInput {
  public:
    std::uint8_t buttonMask() const { return mask_; }

    // Each returns the pointer events to send; none when the position maps to no pixel (the mask
    // changes all the same).
    std::vector<PointerAction> press(Qt::MouseButton button, QPointF position,
                                     const QRectF& imageRect, QSize imageSize);
    std::vector<PointerAction> release(Qt::MouseButton button, QPointF position,
                                       const QRectF& imageRect, QSize imageSize);
    std::vector<PointerAction> move(QPointF position, const QRectF& imageRect, QSize imageSize);
    std::vector<PointerAction> wheel(const WheelRecord& wheel, const QRectF& imageRect,
                                     QSize imageSize);
    // Focus left or input switched off: the mask is emptied. Returns the one event that releases
    // held buttons at `position` when any were held and the position maps to a pixel.
    std::vector<PointerAction> releaseAll(QPointF position, const QRectF& imageRect,
                                          QSize imageSize);

  private:
    std::uint8_t mask_ = 0;
    QPointF scrollRemainder_;
};

}  // namespace tessaral
