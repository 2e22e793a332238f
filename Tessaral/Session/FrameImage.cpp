#include "FrameImage.hpp"

#include <QSaveFile>
#include <memory>

namespace tessaral {

QImage wrapFrame(const rfb::RFBImage& frame) {
    using Storage = std::shared_ptr<const std::uint32_t[]>;
    auto* keeper = new Storage(frame.storage());
    return QImage(
        reinterpret_cast<const uchar*>(keeper->get()), frame.width(), frame.height(),
        static_cast<qsizetype>(frame.width()) * 4, QImage::Format_RGB32,
        [](void* storage) { delete static_cast<Storage*>(storage); }, keeper);
}

FramePaint::FramePaint(rfb::RFBImage::Paint paint)
    : paint_(std::move(paint)),
      image_(reinterpret_cast<const uchar*>(paint_->words()), paint_->width(), paint_->height(),
             static_cast<qsizetype>(paint_->width()) * 4, QImage::Format_RGB32) {}

bool writePng(const QImage& image, const QString& path) {
    if (image.isNull()) {
        return false;
    }
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && image.save(&file, "PNG") && file.commit();
}

QString screenshotFileName(const QString& computerName, const QDateTime& now) {
    QString name;
    for (const QChar c : computerName) {
        if (c == u'/') {
            name += u'-';
        } else if (c.category() != QChar::Other_Control) {
            name += c;
        }
    }
    return name + u' ' + now.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HHmmss")) +
           QStringLiteral(".png");
}

}  // namespace tessaral
