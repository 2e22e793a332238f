#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <mutex>
#include <ostream>

#include "Model/Connection.hpp"
#include "Model/LibraryFile.hpp"

namespace tessaral::testing {

// Collects every log message while alive (from any thread).
class LogCapture {
  public:
    struct Message {
        QtMsgType type;
        QString category;
        QString text;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QList<Message> messages() const;
    // Texts of critical (error-level) messages in the store's category.
    QStringList storeErrors() const;

  private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text);

    mutable std::mutex mutex_;
    QList<Message> messages_;
    QtMessageHandler previous_;
};

// Makes a folder unwritable for the test's lifetime, also for root (which ignores permission
// bits) by setting the immutable attribute. `active()` is false when neither could be done.
class UnwritableFolder {
  public:
    explicit UnwritableFolder(const QString& path);
    ~UnwritableFolder();
    UnwritableFolder(const UnwritableFolder&) = delete;
    UnwritableFolder& operator=(const UnwritableFolder&) = delete;

    bool active() const { return active_; }
    // Makes it writable again before the destructor would.
    void release();

  private:
    QString path_;
    bool immutable_ = false;
    bool active_ = false;
};

inline QDateTime utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::UTC);
}

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

inline bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Files of a folder, sorted, without "." and "..".
inline QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                                  QDir::Name);
}

// A computer with every field set to something other than its default.
Connection fullySetConnection();

// The preferences file of the test run (a temporary folder, see TestMain.cpp), emptied.
void clearPreferences();

// The test binary, for tests that run it as a child process.
QString testExecutable();

}  // namespace tessaral::testing

// Readable failure messages.
namespace tessaral {
void PrintTo(const Connection& connection, std::ostream* out);
void PrintTo(const ConnectionOptions& options, std::ostream* out);
void PrintTo(const Library& library, std::ostream* out);
}  // namespace tessaral

void PrintTo(const QString& text, std::ostream* out);
