#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>
#include <stdexcept>

#include "Connection.hpp"

namespace tessaral {

// The top level of the library file and of exported files. The format version is always written
// as 1 and not examined when reading.
struct Library {
    QList<Connection> connections;
    QList<ConnectionGroup> groups;

    bool operator==(const Library&) const = default;
};

// Why bytes could not be read as a library; the description names the offending record and key.
class LibraryError : public std::runtime_error {
  public:
    explicit LibraryError(const QString& description)
        : std::runtime_error(description.toStdString()), description_(description) {}

    const QString& description() const { return description_; }

  private:
    QString description_;
};

// Larger inputs are refused before parsing: a real library is a few megabytes even with ten
// thousand computers, and refusing keeps a stray huge file from exhausting memory.
inline constexpr qint64 maximumLibrarySize = qint64{64} * 1024 * 1024;

// The file's exact layout: pretty-printed with sorted keys (see writeJson), dates in whole UTC
// seconds, UUIDs in upper case, absent optional fields left out.
QByteArray encodeLibrary(const Library& library);

// Connections and groups are read strictly: a missing required key, a wrong JSON type, an unknown
// tint or origin, or a malformed UUID or date makes the whole input unreadable. Options are read
// field by field, each unusable field taking its factory value. Unknown keys are ignored.
// Throws LibraryError.
Library decodeLibrary(const QByteArray& bytes);

// "2025-03-01T09:30:00Z": UTC, whole seconds (fractions dropped), years clamped to 0000...9999 so
// that whatever is written can be read back.
QString formatDateTime(const QDateTime& dateTime);
// Only exactly that form, with a real calendar date and time; anything else is none.
std::optional<QDateTime> parseDateTime(QStringView text);

// The canonical 36-character hyphenated form in upper case.
QString uuidString(const QUuid& id);
// The canonical 36-character hyphenated form in either case; braces and other forms are none.
std::optional<QUuid> parseUuid(QStringView text);

}  // namespace tessaral
