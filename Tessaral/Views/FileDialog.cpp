#include "FileDialog.hpp"

#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace tessaral {

std::optional<QString> FileDialog::nextFileName_;
QString FileDialog::lastSuggestedName_;

QString FileDialog::getSavePngFileName(QWidget* parent, const QString& caption,
                                       const QString& suggestedName) {
    lastSuggestedName_ = suggestedName;
    QString fileName;
    if (nextFileName_) {
        fileName = *std::exchange(nextFileName_, std::nullopt);
    } else {
        QString folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (folder.isEmpty() || !QDir(folder).exists()) {
            folder = QDir::homePath();
        }
        fileName = QFileDialog::getSaveFileName(parent, caption, folder + u'/' + suggestedName,
                                                QObject::tr("PNG Image (*.png)"));
    }
    if (!fileName.isEmpty() && !fileName.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive)) {
        fileName += QStringLiteral(".png");
    }
    return fileName;
}

void FileDialog::setNextFileName(const QString& fileName) {
    nextFileName_ = fileName;
}

QString FileDialog::lastSuggestedName() {
    return lastSuggestedName_;
}

}  // namespace tessaral
