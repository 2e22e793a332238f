#include "FileDialog.hpp"

#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace tessaral {

std::optional<QString> FileDialog::nextFileName_;
QString FileDialog::lastSuggestedName_;

QString FileDialog::getSavePngFileName(QWidget* parent, const QString& caption,
                                       const QString& suggestedName) {
    return getSaveFileName(parent, caption, suggestedName, QStandardPaths::PicturesLocation,
                           QObject::tr("PNG Image (*.png)"), QStringLiteral(".png"));
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
    return getSaveFileName(parent, caption, suggestedName, QStandardPaths::DocumentsLocation,
                           QObject::tr("JSON (*.json)"), QStringLiteral(".json"));
}

QString FileDialog::getSaveFileName(QWidget* parent, const QString& caption,
                                    const QString& suggestedName,
                                    QStandardPaths::StandardLocation location,
                                    const QString& filter, const QString& suffix) {
    lastSuggestedName_ = suggestedName;
    QString fileName;
    if (nextFileName_) {
        fileName = *std::exchange(nextFileName_, std::nullopt);
    } else {
        fileName = QFileDialog::getSaveFileName(parent, caption,
                                                folder(location) + u'/' + suggestedName, filter);
    }
    if (!fileName.isEmpty() && !fileName.endsWith(suffix, Qt::CaseInsensitive)) {
        fileName += suffix;
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
