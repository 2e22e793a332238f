#include "StoreFile.hpp"

#include <sys/stat.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "StoreLog.hpp"

namespace tessaral {

namespace {

bool existsOrDangles(const QString& path) {
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
}

// The bytes, or why there are none in `error`.
std::optional<QByteArray> readWhole(const QString& path, qint64 maximumSize, QString& error) {
    QFile file(path);
    if (!QFileInfo(path).isFile()) {
        // A folder or a pipe; opening a pipe would wait for a writer for ever.
        error = QStringLiteral("it is not a regular file");
    } else if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString();
    } else if (file.size() > maximumSize) {
        error = QStringLiteral("the file is too large (%1 bytes; at most %2 are read)")
                    .arg(file.size())
                    .arg(maximumSize);
    } else {
        // What is there, plus one byte so that decoding notices a file that grew past the limit;
        // asking for the limit itself would allocate all of it.
        QByteArray bytes = file.read(file.size() + 1);
        if (file.error() == QFileDevice::NoError) {
            return bytes;
        }
        error = file.errorString();
    }
    return std::nullopt;
}

}  // namespace

void makePrivatePath(const QString& path) {
    const QFileInfo info(path);
    if (info.exists() || path.isEmpty()) {
        return;
    }
    const QString parent = info.absolutePath();
    if (parent != info.absoluteFilePath()) {
        makePrivatePath(parent);
    }
    const QByteArray native = QFile::encodeName(info.absoluteFilePath());
    if (::mkdir(native.constData(), 0700) == 0) {
        ::chmod(native.constData(), 0700);
    }
}

bool writeAtomically(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error != nullptr) {
            *error = file.errorString();
        }
        return false;
    }
    return true;
}

StoreFile::StoreFile(const QString& directory, const QString& fileName, const QString& what,
                     qint64 maximumSize)
    : directory_(directory),
      fileName_(fileName),
      path_(directory + u'/' + fileName),
      what_(what),
      maximumSize_(maximumSize) {}

std::optional<QByteArray> StoreFile::read() {
    // No file is the first start. Anything else that stops us reading it (permissions, a folder
    // in its place, damage) must not let the next write replace it: it is treated as unreadable.
    if (!existsOrDangles(path_)) {
        return std::nullopt;
    }
    QString error;
    std::optional<QByteArray> bytes = readWhole(path_, maximumSize_, error);
    if (!bytes) {
        setUnreadable(error);
    }
    return bytes;
}

void StoreFile::setUnreadable(const QString& reason) {
    qCCritical(storeLog).noquote() << QStringLiteral("Couldn't read %1: %2").arg(what_, reason);
    unreadable_ = Unreadable{reason, moveAside()};
}

std::optional<QString> StoreFile::moveAside() {
    // Never over an earlier unreadable copy: two bad starts within one second would otherwise
    // leave the second file in place, to be overwritten by the next write.
    const QString stem = QStringLiteral("%1-unreadable-%2")
                             .arg(QFileInfo(fileName_).completeBaseName())
                             .arg(QDateTime::currentMSecsSinceEpoch() / 1000);
    const QDir folder(directory_);
    QString name = stem + QStringLiteral(".json");
    for (int suffix = 1; existsOrDangles(folder.filePath(name)); ++suffix) {
        name = QStringLiteral("%1-%2.json").arg(stem).arg(suffix);
    }
    if (!QDir(directory_).rename(fileName_, name)) {
        return std::nullopt;
    }
    return name;
}

void StoreFile::write(const QByteArray& bytes) {
    if (unreadable_ && !unreadable_->movedTo) {
        unreadable_->movedTo = moveAside();
        if (!unreadable_->movedTo) {
            qCCritical(storeLog).noquote()
                << QStringLiteral("Couldn't save %1: %2")
                       .arg(what_, QStringLiteral("the unreadable %1 file could not be moved "
                                                  "aside, so it is kept in place")
                                       .arg(what_));
            return;
        }
    }
    QString error;
    if (!writeAtomically(path_, bytes, &error)) {
        qCCritical(storeLog).noquote() << QStringLiteral("Couldn't save %1: %2").arg(what_, error);
    }
}

}  // namespace tessaral
