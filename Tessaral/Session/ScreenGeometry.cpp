#include "ScreenGeometry.hpp"

#include <algorithm>
#include <cmath>

namespace tessaral {

QRectF imageRect(QSizeF bounds, QSize imageSize, ScalingMode scaling) {
    if (imageSize.width() <= 0 || imageSize.height() <= 0) {
        return {};
    }
    const double imageWidth = imageSize.width();
    const double imageHeight = imageSize.height();
    switch (scaling) {
        case ScalingMode::fit: {
            const double scale =
                std::min(bounds.width() / imageWidth, bounds.height() / imageHeight);
            const double width = imageWidth * scale;
            const double height = imageHeight * scale;
            return {(bounds.width() - width) / 2, (bounds.height() - height) / 2, width, height};
        }
        case ScalingMode::actualSize:
            return {std::max(0.0, (bounds.width() - imageWidth) / 2),
                    std::max(0.0, (bounds.height() - imageHeight) / 2), imageWidth, imageHeight};
    }
    return {};
}

QSizeF viewSize(QSizeF visibleArea, QSize imageSize, ScalingMode scaling) {
    if (scaling == ScalingMode::fit) {
        return visibleArea;
    }
    return visibleArea.expandedTo(QSizeF(imageSize));
}

QRect windowFrameFor(QSize imageSize, const QRect& availableArea, int chrome) {
    if (imageSize.width() <= 0 || imageSize.height() <= 0) {
        return {};
    }
    const QRect area = availableArea.adjusted(40, 40, -40, -40);
    const double scale =
        std::min({static_cast<double>(area.width()) / imageSize.width(),
                  static_cast<double>(area.height() - chrome) / imageSize.height(), 1.0});
    // A screen too small for the chrome still gets a window that can be seen and resized.
    const int width = std::max(1, static_cast<int>(std::lround(imageSize.width() * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(imageSize.height() * scale)));
    QRect frame(0, 0, width, chrome + height);
    frame.moveCenter(area.center());
    return frame;
}

}  // namespace tessaral
