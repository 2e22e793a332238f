#include "FileDialog.hpp"

#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

namespace tessaral {

namespace {

QString withSuffix(const QString& fileName, const QString& suffix) {
    return fileName.isEmpty() || fileName.endsWith(suffix, Qt::CaseInsensitive) ? fileName
                                                                                : fileName + suffix;
}

}  // namespace

std::optional<QString> FileDialog::nextFileName_;
QString FileDialog::lastSuggestedName_;

void FileDialog::askForPngFileName(QWidget* parent, const QString& caption,
                                   const QString& suggestedName,
                                   std::function<void(const QString& fileName)> chosen) {
    const QString suffix = QStringLiteral(".png");
    if (const std::optional<QString> answer = takeNextFileName(suggestedName)) {
        if (!answer->isEmpty()) {
            chosen(withSuffix(*answer, suffix));
        }
        return;
    }
    // Opened, so modal to its window only, rather than run in an event loop of its own: that
    // would block every window, and the window could be deleted under it.
    auto* dialog = new QFileDialog(parent, caption,
                                   proposedPath(QStandardPaths::PicturesLocation, suggestedName),
                                   QObject::tr("PNG Image (*.png)"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [chosen = std::move(chosen), suffix](const QString& fileName) {
                         chosen(withSuffix(fileName, suffix));
                     });
    dialog->open();
}

QString FileDialog::getOpenJsonFileName(QWidget* parent, const QString& caption) {
    if (const std::optional<QString> answer = takeNextFileName({})) {
        return *answer;
    }
    return QFileDialog::getOpenFileName(parent, caption, folder(QStandardPaths::DocumentsLocation),
                                        QObject::tr("JSON (*.json)"));
}

QString FileDialog::getSaveJsonFileName(QWidget* parent, const QString& caption,
                                        const QString& suggestedName) {
    const QString suffix = QStringLiteral(".json");
    if (const std::optional<QString> answer = takeNextFileName(suggestedName)) {
        return withSuffix(*answer, suffix);
    }
    return withSuffix(
        QFileDialog::getSaveFileName(parent, caption,
                                     proposedPath(QStandardPaths::DocumentsLocation, suggestedName),
                                     QObject::tr("JSON (*.json)")),
        suffix);
}

std::optional<QString> FileDialog::takeNextFileName(const QString& suggestedName) {
    lastSuggestedName_ = suggestedName;
    return std::exchange(nextFileName_, std::nullopt);
}

QString FileDialog::proposedPath(QStandardPaths::StandardLocation location,
                                 const QString& suggestedName) {
    return folder(location) + u'/' + suggestedName;
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
