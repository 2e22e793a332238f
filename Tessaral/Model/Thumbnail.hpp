#pragma once

#include <QByteArray>
#include <QImage>
#include <optional>

namespace tessaral {

inline constexpr int maximumThumbnailWidth = 640;

// A preview of `image` as PNG bytes: scaled down (never up) to at most `maximumWidth` pixels wide,
// keeping the aspect ratio, as opaque RGB (transparent areas become black). None when the image
// is empty or cannot be converted or encoded. Safe to call off the main thread.
std::optional<QByteArray> thumbnailPng(const QImage& image,
                                       int maximumWidth = maximumThumbnailWidth);

}  // namespace tessaral
