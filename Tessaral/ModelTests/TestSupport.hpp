#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <mutex>
#include <ostream>

#include "Model/LibraryFile.hpp"
#include "Model/StoreLog.hpp"

namespace tessaral::testing {

// Collects the store's error messages, from any thread, while alive.
class LogCapture {
  public:
    LogCapture() {
        active = this;
        qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() {
        qInstallMessageHandler(nullptr);
        active = nullptr;
    }
    QStringList storeErrors() const {
        const std::lock_guard lock(mutex_);
        return errors_;
    }

  private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        LogCapture* capture = active.load();
        if (capture && type == QtCriticalMsg &&
            qstrcmp(context.category, storeLog().categoryName()) == 0) {
            const std::lock_guard lock(capture->mutex_);
            capture->errors_.push_back(text);
        }
    }

    static inline std::atomic<LogCapture*> active;
    mutable std::mutex mutex_;
    QStringList errors_;
};

// Makes a folder unwritable while alive, also for root (which ignores permission bits) through
// the immutable attribute. `active()` is false when neither works here.
class UnwritableFolder {
  public:
    explicit UnwritableFolder(const QString& path)
        : path_(path), fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY)) {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
        if (writable()) {
            setImmutable(true);
        }
        active_ = !writable();
    }
    ~UnwritableFolder() {
        release();
        ::close(fd_);
    }
    bool active() const { return active_; }
    void release() {
        setImmutable(false);
        QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        active_ = false;
    }

  private:
    bool writable() const {
        QFile probe(path_ + QStringLiteral("/.write-probe"));
        return probe.open(QIODevice::WriteOnly) && probe.remove();
    }
    void setImmutable(bool on) const {
        int flags = 0;
        if (::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
            ::ioctl(fd_, FS_IOC_SETFLAGS, &flags);
        }
    }

    QString path_;
    int fd_;
    bool active_ = false;
};

inline QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes the folders on the way.
inline bool writeAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A computer with every field set to something other than its default.
inline Connection fullySetConnection() {
    return {.id = QUuid::fromString(QStringLiteral("1B4E28BA-2FA1-11D2-883F-0016D3CCA427")),
            .name = QStringLiteral("Studio / \"Mac\" \u00e9"),
            .host = QStringLiteral("studio.local"),
            .port = 5901,
            .username = QStringLiteral("anna"),
            .bonjourServiceName = QStringLiteral("Studio"),
            .groupID = QUuid::fromString(QStringLiteral("9C2B5A1E-0D3F-4E6A-8B7C-1D2E3F405162")),
            .tint = ConnectionTint::teal,
            .symbol = QStringLiteral("macstudio"),
            .origin = ConnectionOrigin::link,
            .createdAt = utc(2025, 3, 1, 9, 30, 0),
            .lastConnectedAt = utc(2025, 3, 2, 18, 5, 7),
            .options = {ScalingMode::actualSize, rfb::RFBQuality::thousands, true, false, false,
                        false, rfb::KeySymbol::CommandMapping::superKey}};
}

}  // namespace tessaral::testing

namespace tessaral {
// Failure messages show computers as the file would.
inline void PrintTo(const Connection& connection, std::ostream* out) {
    *out << encodeLibrary(Library{{connection}, {}}).toStdString();
}
inline void PrintTo(const Library& library, std::ostream* out) {
    *out << encodeLibrary(library).toStdString();
}
}  // namespace tessaral

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
