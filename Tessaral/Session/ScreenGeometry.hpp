#pragma once

#include <QRect>
#include <QRectF>
#include <QSize>
#include <QSizeF>

#include "Model/Connection.hpp"

namespace tessaral {

// Where a frame of `imageSize` pixels is drawn in a view of `bounds`: fitted (enlarged or reduced,
// centred with bars on two sides) or at one pixel per point (centred when smaller, from the top
// left when larger). Empty without an image.
QRectF imageRect(QSizeF bounds, QSize imageSize, ScalingMode scaling);

// The size the screen view takes inside a visible area: the area itself when fitting, at least the
// image when showing it at actual size (so that the surrounding area scrolls over it).
QSizeF viewSize(QSizeF visibleArea, QSize imageSize, ScalingMode scaling);

// The window frame for a remote screen, sized once when its first frame arrives: the screen at no
// more than one point per pixel, within the available area inset by 40 on every side, `chrome`
// being the height the window adds above its content; centred on that area.
QRect windowFrameFor(QSize imageSize, const QRect& availableArea, int chrome);

}  // namespace tessaral
