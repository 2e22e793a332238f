#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>

#include "Framebuffer.hpp"

namespace tessaral {

// A frame as a QImage, without a copy: its 0xFFRRGGBB words are exactly RGB32's layout, and the
// image keeps the frame's pixels alive for as long as it or a copy of it lives.
QImage wrapFrame(const rfb::RFBImage& frame);

// Writes `image` as PNG to `path` whole or not at all: a temporary file beside it replaces it only
// once written. False on any failure, a null image included.
bool writePng(const QImage& image, const QString& path);

// "<name> 2026-12-05T151203.png" for that moment in UTC; the name is made a file name, never a
// path, and loses its control characters.
QString screenshotFileName(const QString& computerName, const QDateTime& now);

}  // namespace tessaral
