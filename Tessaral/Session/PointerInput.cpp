#include "PointerInput.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tessaral {

namespace {

std::uint8_t buttonBit(Qt::MouseButton button) {
    switch (button) {
        case Qt::LeftButton:
            return 1;
        case Qt::RightButton:
            return 4;
        default:
            return 2;
    }
}

// A pointer far outside the view (its position read while the window lost focus) must not
// overflow the conversion; the client clamps to the framebuffer anyway.
int toCoordinate(double value) {
    constexpr double limit = std::numeric_limits<int>::max() / 2;
    return static_cast<int>(std::clamp(std::floor(value), -limit, limit));
}

}  // namespace

std::optional<QPoint> remotePoint(QPointF position, const QRectF& imageRect, QSize imageSize) {
    if (!(imageRect.width() > 0 && imageRect.height() > 0) || imageSize.isEmpty() ||
        !std::isfinite(position.x()) || !std::isfinite(position.y())) {
        return std::nullopt;
    }
    const double x = (position.x() - imageRect.left()) * imageSize.width() / imageRect.width();
    const double y = (position.y() - imageRect.top()) * imageSize.height() / imageRect.height();
    return QPoint(toCoordinate(x), toCoordinate(y));
}

namespace {

void appendAt(std::vector<PointerAction>& actions, QPointF position, const QRectF& imageRect,
              QSize imageSize, std::uint8_t mask) {
    if (const auto point = remotePoint(position, imageRect, imageSize)) {
        actions.push_back({point->x(), point->y(), mask});
    }
}

}  // namespace

std::vector<PointerAction> PointerInput::press(Qt::MouseButton button, QPointF position,
                                               const QRectF& imageRect, QSize imageSize) {
    mask_ |= buttonBit(button);
    return move(position, imageRect, imageSize);
}

std::vector<PointerAction> PointerInput::release(Qt::MouseButton button, QPointF position,
                                                 const QRectF& imageRect, QSize imageSize) {
    mask_ &= static_cast<std::uint8_t>(~buttonBit(button));
    return move(position, imageRect, imageSize);
}

std::vector<PointerAction> PointerInput::move(QPointF position, const QRectF& imageRect,
                                              QSize imageSize) {
    std::vector<PointerAction> actions;
    appendAt(actions, position, imageRect, imageSize, mask_);
    return actions;
}

std::vector<PointerAction> PointerInput::wheel(const WheelRecord& wheel, const QRectF& imageRect,
                                               QSize imageSize) {
    const bool precise = !wheel.pixelDelta.isNull();
    const double step = precise ? 12.0 : 1.0;
    scrollRemainder_ += precise ? QPointF(wheel.pixelDelta) : QPointF(wheel.angleDelta) / 120.0;

    std::vector<PointerAction> actions;
    const auto clicks = [&](double& accumulated, std::uint8_t positiveBit,
                            std::uint8_t negativeBit) {
        const double ticks = std::trunc(accumulated / step);
        accumulated -= ticks * step;
        const std::uint8_t bit = ticks > 0 ? positiveBit : negativeBit;
        // A runaway delta must not flood the server; a few hundred clicks are already more than
        // any real wheel or gesture produces in one event.
        const int count = static_cast<int>(std::min(std::abs(ticks), 256.0));
        for (int n = 0; n < count; ++n) {
            appendAt(actions, wheel.position, imageRect, imageSize, mask_ | bit);
            appendAt(actions, wheel.position, imageRect, imageSize, mask_);
        }
    };
    clicks(scrollRemainder_.ry(), 8, 16);
    clicks(scrollRemainder_.rx(), 32, 64);
    if (wheel.gestureEnded) {
        scrollRemainder_ = {};
    }
    return actions;
}

std::vector<PointerAction> PointerInput::releaseAll(QPointF position, const QRectF& imageRect,
                                                    QSize imageSize) {
    scrollRemainder_ = {};
    if (mask_ == 0) {
        return {};
    }
    mask_ = 0;
    return move(position, imageRect, imageSize);
}

}  // namespace tessaral
