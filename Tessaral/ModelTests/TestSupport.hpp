#pragma once

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <mutex>
#include <ostream>

#include "Model/LibraryFile.hpp"
#include "Model/StoreLog.hpp"

namespace tessaral::testing {

// The headlines (before the colon) of the store's error messages, from any thread, while alive.
class LogCapture {
  public:
    LogCapture() {
        errors.clear();
        qInstallMessageHandler(&handler);
    }
    ~LogCapture() { qInstallMessageHandler(nullptr); }
    QStringList storeErrors() const {
        const std::lock_guard lock(mutex);
        return errors;
    }

  private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (type == QtCriticalMsg && qstrcmp(context.category, storeLog().categoryName()) == 0) {
            const std::lock_guard lock(mutex);
            errors.push_back(text.section(u':', 0, 0));
        }
    }

    static inline std::mutex mutex;
    static inline QStringList errors;
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

// The names of a list of computers or nearby services.
template <class List>
QStringList names(const List& items) {
    QStringList result;
    std::ranges::transform(items, std::back_inserter(result), &List::value_type::name);
    return result;
}

// A computer with every field set to something other than its default.
inline Connection fullySetConnection() {
    return {.id = QUuid::fromString(QStringLiteral("1B4E28BA-2FA1-11D2-883F-0016D3CCA427")),
            .name = QStringLiteral("Studio / \"Mac\" \u00e9"),
            .host = QStringLiteral("studio.local"),
            .port = 5901,
            .username = QStringLiteral("anna"),
            .sshGateway = QStringLiteral("anna@gate.example:2222"),
            .bonjourServiceName = QStringLiteral("Studio"),
            .groupID = QUuid::fromString(QStringLiteral("9C2B5A1E-0D3F-4E6A-8B7C-1D2E3F405162")),
            .tint = ConnectionTint::teal,
            .symbol = QStringLiteral("macstudio"),
            .origin = ConnectionOrigin::link,
            .createdAt = utc(2025, 3, 1, 9, 30, 0),
            .lastConnectedAt = utc(2025, 3, 2, 18, 5, 7),
            .options = {ScalingMode::actualSize, rfb::RFBQuality::thousands, true, false, false,
                        false, rfb::KeySymbol::CommandMapping::superKey, true, false}};
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
