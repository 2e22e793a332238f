#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <optional>

#include "Framebuffer.hpp"

namespace tessaral {

// A frame for the length of one paint, as a QImage over its pixels: neither the image nor a
// shallow copy of it may outlive this (copy() it to keep it).
class FramePaint {
  public:
    explicit FramePaint(rfb::RFBImage::Paint paint);
    // An image that is held anyway, such as the last frame of a session that ended.
    explicit FramePaint(QImage image) : image_(std::move(image)) {}
    const QImage& image() const { return image_; }

  private:
    std::optional<rfb::RFBImage::Paint> paint_;
    QImage image_;
};

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
