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
        fileName = QFileDialog::getSaveFileName(
            parent, caption, folder(QStandardPaths::PicturesLocation) + u'/' + suggestedName,
            QObject::tr("PNG Image (*.png)"));
    }
    if (!fileName.isEmpty() && !fileName.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive)) {
        fileName += QStringLiteral(".png");
    }
    return fileName;
}

QString FileDialog::getOpenJsonFileName(QWidget* parent, const QString& caption) {
    lastSuggestedName_.clear();
    if (nextFileName_) {
        return *std::exchange(nextFileName_, std::nullopt);
    }
    return QFileDialog::getOpenFileName(parent, caption, folder(QStandardPaths::DocumentsLocation),
                                        QObject::tr("JSON (*.json)"));
}

QString FileDialog::getSaveJsonFileName(QWidget* parent, const QString& caption,
                                        const QString& suggestedName) {
    lastSuggestedName_ = suggestedName;
    QString fileName;
    if (nextFileName_) {
        fileName = *std::exchange(nextFileName_, std::nullopt);
    } else {
        fileName = QFileDialog::getSaveFileName(
            parent, caption, folder(QStandardPaths::DocumentsLocation) + u'/' + suggestedName,
            QObject::tr("JSON (*.json)"));
    }
    if (!fileName.isEmpty() && !fileName.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)) {
        fileName += QStringLiteral(".json");
    }
    return fileName;
}

QString FileDialog::folder(QStandardPaths::StandardLocation location) {
    const QString folder = QStandardPaths::writableLocation(location);
    return folder.isEmpty() || !QDir(folder).exists() ? QDir::homePath() : folder;
}

void FileDialog::setNextFileName(const QString& fileName) {
    nextFileName_ = fileName;
}

QString FileDialog::lastSuggestedName() {
    return lastSuggestedName_;
}

}  // namespace tessaral
