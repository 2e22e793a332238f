#include "LibraryFile.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "JsonWriter.hpp"

namespace tessaral {

namespace {

// Proleptic Gregorian calendar arithmetic on days since 1970-01-01, exact for every year we
// accept; QDate's string parsing is too lenient for the file's one accepted form.
constexpr std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};

constexpr CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const auto day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const auto month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

constexpr bool isLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int daysInMonth(std::int64_t year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

constexpr std::int64_t secondsPerDay = 86400;
constexpr std::int64_t earliestWritable = daysFromCivil(0, 1, 1) * secondsPerDay;
constexpr std::int64_t latestWritable = (daysFromCivil(9999, 12, 31) + 1) * secondsPerDay - 1;

std::int64_t floorDivide(std::int64_t a, std::int64_t b) {
    const std::int64_t quotient = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

std::string dateText(const QDateTime& dateTime) {
    // An invalid date cannot come from the file or the clock; write something readable anyway.
    const std::int64_t milliseconds = dateTime.isValid() ? dateTime.toMSecsSinceEpoch() : 0;
    const std::int64_t seconds =
        std::clamp(floorDivide(milliseconds, 1000), earliestWritable, latestWritable);
    const std::int64_t days = floorDivide(seconds, secondsPerDay);
    const std::int64_t secondOfDay = seconds - days * secondsPerDay;
    const CivilDate date = civilFromDays(days);

    char text[21];
    auto put = [&](int offset, std::int64_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            text[offset + i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    };
    put(0, date.year, 4);
    text[4] = '-';
    put(5, date.month, 2);
    text[7] = '-';
    put(8, date.day, 2);
    text[10] = 'T';
    put(11, secondOfDay / 3600, 2);
    text[13] = ':';
    put(14, secondOfDay / 60 % 60, 2);
    text[16] = ':';
    put(17, secondOfDay % 60, 2);
    text[19] = 'Z';
    return std::string(text, 20);
}

std::string uuidText(const QUuid& id) {
    return id.toByteArray(QUuid::WithoutBraces).toUpper().toStdString();
}

// --- Writing ---------------------------------------------------------------------------------

// Members in key order, which saves the writer from sorting them.
JsonValue optionsJson(const ConnectionOptions& options) {
    JsonValue::Object object;
    object.reserve(8);
    object.emplace_back("commandMapping", rawString(options.commandMapping));
    object.emplace_back("observeOnly", options.observeOnly);
    object.emplace_back("quality", rawString(options.quality));
    object.emplace_back("requireEncryption", options.requireEncryption);
    object.emplace_back("resizeRemote", options.resizeRemote);
    object.emplace_back("scaling", rawValue(options.scaling));
    object.emplace_back("shareClipboard", options.shareClipboard);
    object.emplace_back("sharedSession", options.sharedSession);
    object.emplace_back("showRemoteCursor", options.showRemoteCursor);
    return object;
}

JsonValue connectionJson(const Connection& connection) {
    JsonValue::Object object;
    object.reserve(13);
    if (connection.bonjourServiceName) {
        object.emplace_back("bonjourServiceName", *connection.bonjourServiceName);
    }
    object.emplace_back("createdAt", dateText(connection.createdAt));
    if (connection.groupID) {
        object.emplace_back("groupID", uuidText(*connection.groupID));
    }
    object.emplace_back("host", connection.host);
    object.emplace_back("id", uuidText(connection.id));
    if (connection.lastConnectedAt) {
        object.emplace_back("lastConnectedAt", dateText(*connection.lastConnectedAt));
    }
    object.emplace_back("name", connection.name);
    object.emplace_back("options", optionsJson(connection.options));
    object.emplace_back("origin", rawValue(connection.origin));
    object.emplace_back("port", std::int64_t{connection.port});
    object.emplace_back("sshGateway", connection.sshGateway);
    object.emplace_back("symbol", connection.symbol);
    object.emplace_back("tint", rawValue(connection.tint));
    object.emplace_back("username", connection.username);
    return object;
}

JsonValue groupJson(const ConnectionGroup& group) {
    return JsonValue::Object{{"id", uuidText(group.id)}, {"name", group.name}};
}

// --- Reading ---------------------------------------------------------------------------------

// Where in the input a value sits, as "connections[3].options"; only spelled out on failure.
struct Location {
    QStringView list;
    qsizetype index = -1;
    QStringView member;

    Location inMember(QStringView name) const { return {list, index, name}; }

    QString text() const {
        QString result;
        if (!list.isEmpty()) {
            result = list.toString() + u'[' + QString::number(index) + u']';
        }
        if (!member.isEmpty()) {
            result += (result.isEmpty() ? QString() : QStringLiteral(".")) + member.toString();
        }
        return result;
    }
};

[[noreturn]] void fail(const Location& where, const QString& what) {
    const QString place = where.text();
    throw LibraryError(place.isEmpty() ? what : place + QStringLiteral(": ") + what);
}

// Whole numbers only, as an integer field of a record requires; 5900.0 is 5900, 5900.5 is not.
std::optional<qint64> integerValue(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    const qint64 a = value.toInteger(0);
    const qint64 b = value.toInteger(1);
    if (a != b) {
        return std::nullopt;
    }
    return a;
}

// The members of one object that a record knows, collected in a single pass: looking keys up
// one by one costs several times more on large libraries. Unknown members are skipped.
template <std::size_t N>
class ObjectReader {
  public:
    ObjectReader(const QJsonObject& object, const std::array<QStringView, N>& keys, Location where)
        : keys_(keys), where_(where) {
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            const QString key = it.key();
            for (std::size_t i = 0; i < N; ++i) {
                if (key == keys_[i]) {
                    values_[i] = it.value();
                    break;
                }
            }
        }
    }

    QJsonValue required(QStringView key) const {
        const std::optional<QJsonValue>& value = slot(key);
        if (!value) {
            fail(where_, QStringLiteral("\"%1\" is missing").arg(key));
        }
        return *value;
    }

    // Absent and null both mean "not given".
    std::optional<QJsonValue> optional(QStringView key) const {
        const std::optional<QJsonValue>& value = slot(key);
        if (!value || value->isNull()) {
            return std::nullopt;
        }
        return value;
    }

    QString string(QStringView key) const { return asString(key, required(key)); }

    std::optional<QString> optionalString(QStringView key) const {
        const std::optional<QJsonValue> value = optional(key);
        if (!value) {
            return std::nullopt;
        }
        return asString(key, *value);
    }

    qint64 integer(QStringView key) const {
        const std::optional<qint64> value = integerValue(required(key));
        if (!value) {
            fail(where_.inMember(key), QStringLiteral("expected an integer"));
        }
        return *value;
    }

    QUuid uuid(QStringView key) const { return asUuid(key, string(key)); }

    std::optional<QUuid> optionalUuid(QStringView key) const {
        const std::optional<QString> text = optionalString(key);
        if (!text) {
            return std::nullopt;
        }
        return asUuid(key, *text);
    }

    QDateTime date(QStringView key) const { return asDate(key, string(key)); }

    std::optional<QDateTime> optionalDate(QStringView key) const {
        const std::optional<QString> text = optionalString(key);
        if (!text) {
            return std::nullopt;
        }
        return asDate(key, *text);
    }

    template <typename Enum, typename Parse>
    Enum enumeration(QStringView key, Parse parse) const {
        const QString text = string(key);
        const std::optional<Enum> value = parse(text);
        if (!value) {
            fail(where_.inMember(key), QStringLiteral("\"%1\" is not a known value").arg(text));
        }
        return *value;
    }

    QJsonObject object(QStringView key) const {
        const QJsonValue value = required(key);
        if (!value.isObject()) {
            fail(where_.inMember(key), QStringLiteral("expected an object"));
        }
        return value.toObject();
    }

    QJsonArray array(QStringView key) const {
        const QJsonValue value = required(key);
        if (!value.isArray()) {
            fail(where_.inMember(key), QStringLiteral("expected an array"));
        }
        return value.toArray();
    }

    // For the lenient option fields: none when missing or of another type.
    std::optional<QString> stringIfPresent(QStringView key) const {
        const std::optional<QJsonValue>& value = slot(key);
        if (!value || !value->isString()) {
            return std::nullopt;
        }
        return value->toString();
    }

    std::optional<bool> boolIfPresent(QStringView key) const {
        const std::optional<QJsonValue>& value = slot(key);
        if (!value || !value->isBool()) {
            return std::nullopt;
        }
        return value->toBool();
    }

  private:
    const std::optional<QJsonValue>& slot(QStringView key) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (keys_[i].data() == key.data() || keys_[i] == key) {
                return values_[i];
            }
        }
        // Asking for a key the reader was not built with is a programming error.
        std::abort();
    }

    QString asString(QStringView key, const QJsonValue& value) const {
        if (!value.isString()) {
            fail(where_.inMember(key), QStringLiteral("expected a string"));
        }
        return value.toString();
    }

    QUuid asUuid(QStringView key, const QString& text) const {
        const std::optional<QUuid> id = parseUuid(text);
        if (!id) {
            fail(where_.inMember(key), QStringLiteral("\"%1\" is not a UUID").arg(text));
        }
        return *id;
    }

    QDateTime asDate(QStringView key, const QString& text) const {
        const std::optional<QDateTime> date = parseDateTime(text);
        if (!date) {
            fail(where_.inMember(key),
                 QStringLiteral("\"%1\" is not a date of the form 2025-03-01T09:30:00Z").arg(text));
        }
        return *date;
    }

    const std::array<QStringView, N>& keys_;
    Location where_;
    std::array<std::optional<QJsonValue>, N> values_;
};

// The keys each record reads; a reader answers only for the keys of its table.
constexpr std::array<QStringView, 9> optionKeys = {
    u"scaling",        u"quality",           u"observeOnly",
    u"shareClipboard", u"sharedSession",     u"showRemoteCursor",
    u"commandMapping", u"requireEncryption", u"resizeRemote"};

constexpr std::array<QStringView, 14> connectionKeys = {
    u"id",      u"name",      u"host",   u"port",   u"username",  u"bonjourServiceName",
    u"groupID", u"tint",      u"symbol", u"origin", u"createdAt", u"lastConnectedAt",
    u"options", u"sshGateway"};

constexpr std::array<QStringView, 2> groupKeys = {u"id", u"name"};

constexpr std::array<QStringView, 3> libraryKeys = {u"version", u"connections", u"groups"};

QJsonObject elementObject(const QJsonValue& value, const Location& where) {
    if (!value.isObject()) {
        fail(where, QStringLiteral("expected an object"));
    }
    return value.toObject();
}

ConnectionOptions readOptions(const QJsonObject& object, const Location& where) {
    // Each field on its own: an option written by a newer or older version, or damaged, costs only
    // that one setting, never the computer.
    const ObjectReader reader(object, optionKeys, where);
    ConnectionOptions options;
    auto parsed = [](const std::optional<QString>& text, auto parse) {
        return text ? parse(*text) : std::nullopt;
    };
    options.scaling = parsed(reader.stringIfPresent(u"scaling"), scalingModeFromRawValue)
                          .value_or(options.scaling);
    options.quality =
        parsed(reader.stringIfPresent(u"quality"), qualityFromRawValue).value_or(options.quality);
    options.observeOnly = reader.boolIfPresent(u"observeOnly").value_or(options.observeOnly);
    options.shareClipboard =
        reader.boolIfPresent(u"shareClipboard").value_or(options.shareClipboard);
    options.sharedSession = reader.boolIfPresent(u"sharedSession").value_or(options.sharedSession);
    options.showRemoteCursor =
        reader.boolIfPresent(u"showRemoteCursor").value_or(options.showRemoteCursor);
    options.commandMapping =
        parsed(reader.stringIfPresent(u"commandMapping"), commandMappingFromRawValue)
            .value_or(options.commandMapping);
    // Files from before the option read as off, as it was then.
    options.requireEncryption =
        reader.boolIfPresent(u"requireEncryption").value_or(options.requireEncryption);
    options.resizeRemote = reader.boolIfPresent(u"resizeRemote").value_or(options.resizeRemote);
    return options;
}

Connection readConnection(const QJsonObject& object, const Location& where) {
    const ObjectReader reader(object, connectionKeys, where);
    Connection connection;
    connection.id = reader.uuid(u"id");
    connection.name = reader.string(u"name");
    connection.host = reader.string(u"host");
    connection.port = reader.integer(u"port");
    connection.username = reader.string(u"username");
    connection.bonjourServiceName = reader.optionalString(u"bonjourServiceName");
    connection.groupID = reader.optionalUuid(u"groupID");
    connection.tint = reader.template enumeration<ConnectionTint>(u"tint", tintFromRawValue);
    connection.symbol = reader.string(u"symbol");
    connection.origin =
        reader.template enumeration<ConnectionOrigin>(u"origin", originFromRawValue);
    connection.createdAt = reader.date(u"createdAt");
    connection.lastConnectedAt = reader.optionalDate(u"lastConnectedAt");
    connection.options = readOptions(reader.object(u"options"), where.inMember(u"options"));
    // Files from before gateways read as a direct connection.
    connection.sshGateway = reader.stringIfPresent(u"sshGateway").value_or(QString());
    return connection;
}

ConnectionGroup readGroup(const QJsonObject& object, const Location& where) {
    const ObjectReader reader(object, groupKeys, where);
    ConnectionGroup group;
    group.id = reader.uuid(u"id");
    group.name = reader.string(u"name");
    return group;
}

QString jsonErrorText(const QJsonParseError& error) {
    return QStringLiteral("not valid JSON (%1 at byte %2)")
        .arg(error.errorString())
        .arg(error.offset);
}

}  // namespace

QByteArray encodeLibrary(const Library& library) {
    JsonValue::Array connections;
    connections.reserve(static_cast<std::size_t>(library.connections.size()));
    for (const Connection& connection : library.connections) {
        connections.push_back(connectionJson(connection));
    }
    JsonValue::Array groups;
    groups.reserve(static_cast<std::size_t>(library.groups.size()));
    for (const ConnectionGroup& group : library.groups) {
        groups.push_back(groupJson(group));
    }
    // Built member by member: an initializer list would copy the whole tree.
    JsonValue::Object top;
    top.emplace_back("connections", std::move(connections));
    top.emplace_back("groups", std::move(groups));
    top.emplace_back("version", 1);
    // A computer takes 600 to 700 bytes of text.
    const qsizetype sizeHint = 64 + 720 * library.connections.size() + 120 * library.groups.size();
    return writeJson(std::move(top), sizeHint);
}

Library decodeLibrary(const QByteArray& bytes) {
    if (bytes.size() > maximumLibrarySize) {
        fail(Location{}, QStringLiteral("the file is too large (%1 bytes; at most %2 are read)")
                             .arg(bytes.size())
                             .arg(maximumLibrarySize));
    }
    QJsonParseError error{};
    // QJsonDocument bounds nesting depth itself, so deeply nested input fails here rather than
    // exhausting the stack.
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        fail(Location{}, jsonErrorText(error));
    }
    if (!document.isObject()) {
        fail(Location{}, QStringLiteral("the top level is not an object"));
    }
    const QJsonObject top = document.object();
    const ObjectReader reader(top, libraryKeys, {});
    reader.integer(u"version");

    Library library;
    const QJsonArray connections = reader.array(u"connections");
    library.connections.reserve(connections.size());
    for (qsizetype i = 0; i < connections.size(); ++i) {
        const Location where{u"connections", i, {}};
        library.connections.push_back(readConnection(elementObject(connections[i], where), where));
    }
    const QJsonArray groups = reader.array(u"groups");
    library.groups.reserve(groups.size());
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const Location where{u"groups", i, {}};
        library.groups.push_back(readGroup(elementObject(groups[i], where), where));
    }
    return library;
}

QString formatDateTime(const QDateTime& dateTime) {
    return QString::fromLatin1(dateText(dateTime));
}

std::optional<QDateTime> parseDateTime(QStringView text) {
    if (text.size() != 20 || text[4] != u'-' || text[7] != u'-' || text[10] != u'T' ||
        text[13] != u':' || text[16] != u':' || text[19] != u'Z') {
        return std::nullopt;
    }
    bool digitsOnly = true;
    auto number = [&](qsizetype offset, qsizetype width) {
        int value = 0;
        for (qsizetype i = offset; i < offset + width; ++i) {
            const char16_t c = text[i].unicode();
            if (c < u'0' || c > u'9') {
                digitsOnly = false;
                return 0;
            }
            value = value * 10 + (c - u'0');
        }
        return value;
    };
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (!digitsOnly || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::int64_t seconds =
        daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 + minute * 60 + second;
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

QString uuidString(const QUuid& id) {
    return QString::fromLatin1(uuidText(id));
}

std::optional<QUuid> parseUuid(QStringView text) {
    if (text.size() != 36) {
        return std::nullopt;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        const bool isHex =
            (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (hyphenPlace ? c != u'-' : !isHex) {
            return std::nullopt;
        }
    }
    return QUuid::fromString(text);
}

}  // namespace tessaral
