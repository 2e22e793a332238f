#include "Thumbnail.hpp"

#include <QBuffer>
#include <QColorSpace>
#include <QPainter>
#include <algorithm>

namespace tessaral {

std::optional<QByteArray> thumbnailPng(const QImage& image, int maximumWidth) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0 || maximumWidth <= 0) {
        return std::nullopt;
    }
    const double scale = std::min(double(maximumWidth) / image.width(), 1.0);
    const int width = std::max(1, static_cast<int>(image.width() * scale));
    const int height = std::max(1, static_cast<int>(image.height() * scale));

    QImage source = image;
    if (source.colorSpace().isValid() && source.colorSpace() != QColorSpace::SRgb) {
        source.convertToColorSpace(QColorSpace::SRgb);
    }
    // QImage's smooth scaling averages every source pixel when shrinking, which a painter's
    // bilinear filter does not; the painter then only lays the result over black.
    if (width != source.width() || height != source.height()) {
        source = source.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    if (source.isNull()) {
        return std::nullopt;
    }

    QImage bitmap(width, height, QImage::Format_RGB32);
    if (bitmap.isNull()) {
        return std::nullopt;
    }
    bitmap.fill(Qt::black);
    {
        QPainter painter(&bitmap);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(0, 0, width, height), source);
    }

    QByteArray bytes;
    QBuffer buffer(&bytes);
    if (!buffer.open(QIODevice::WriteOnly) || !bitmap.save(&buffer, "PNG") || bytes.isEmpty()) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace tessaral
