#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cctype>
#include <functional>

#include "Model/JsonWriter.hpp"
#include "Model/LibraryFile.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;

using testing::readAll;
using testing::utc;

const QString goldenPath = QStringLiteral(TESSARAL_MODEL_TEST_DATA "/Library-golden.json");

Library goldenLibrary() {
    Library library;
    library.groups.push_back(
        {QUuid::fromString(QStringLiteral("9C2B5A1E-0D3F-4E6A-8B7C-1D2E3F405162")),
         QStringLiteral("Work / Home")});
    library.connections.push_back(testing::fullySetConnection());

    Connection minimal;
    minimal.id = QUuid::fromString(QStringLiteral("5A0B3C2D-1E4F-4A6B-9C8D-7E6F5A4B3C2D"));
    minimal.name = QStringLiteral("Pi");
    minimal.host = QStringLiteral("10.0.0.7");
    minimal.symbol = QStringLiteral("raspberrypi");
    minimal.createdAt = utc(1999, 12, 31, 23, 59, 59);
    library.connections.push_back(minimal);
    return library;
}

TEST(LibraryFile, WritesExactlyTheGoldenFile) {
    const QByteArray golden = readAll(goldenPath);
    ASSERT_FALSE(golden.isEmpty());
    Library library = goldenLibrary();
    // Fractions of a second never reach the file.
    library.connections[0].createdAt = library.connections[0].createdAt.addMSecs(999);
    EXPECT_EQ(encodeLibrary(library).toStdString(), golden.toStdString());
}

TEST(LibraryFile, ReadsTheGoldenFileInAnyLayout) {
    const QByteArray golden = readAll(goldenPath);
    EXPECT_EQ(decodeLibrary(golden), goldenLibrary());
    const QByteArray compact = QJsonDocument::fromJson(golden).toJson(QJsonDocument::Compact);
    EXPECT_EQ(decodeLibrary(compact), goldenLibrary());
}

TEST(LibraryFile, RoundTripsLibraries) {
    EXPECT_EQ(decodeLibrary(encodeLibrary(Library{})), Library{});
    EXPECT_EQ(encodeLibrary(Library{}), QByteArray("{\n  \"connections\" : [],\n"
                                                   "  \"groups\" : [],\n  \"version\" : 1\n}"));

    Library library = goldenLibrary();
    Connection odd;
    odd.name = QStringLiteral("tab\there, newline\nthere, back\\slash, \x01, emoji \U0001F5A5");
    odd.host = QStringLiteral("fe80::1");
    odd.port = -3;  // kept as stored even though no editor would accept it
    odd.symbol = QStringLiteral("not.in.the.list");
    odd.createdAt = utc(1960, 2, 29, 12, 0, 1);
    odd.bonjourServiceName = QString();
    library.connections.push_back(odd);
    library.groups.push_back({QUuid::createUuid(), QString()});
    EXPECT_EQ(decodeLibrary(encodeLibrary(library)), library);
}

TEST(LibraryFile, IgnoresUnknownKeysAndTakesNullOptionalsAsAbsent) {
    QJsonObject top = QJsonDocument::fromJson(readAll(goldenPath)).object();
    QJsonArray connections = top[u"connections"].toArray();
    QJsonObject first = connections[0].toObject();
    first[u"bonjourServiceName"] = QJsonValue::Null;
    first[u"groupID"] = QJsonValue::Null;
    first[u"lastConnectedAt"] = QJsonValue::Null;
    first[u"futureField"] = QJsonObject{{u"anything"_s, 1}};
    connections[0] = first;
    top[u"connections"] = connections;
    top[u"version"] = 7;
    top[u"extra"] = true;

    const Library library = decodeLibrary(QJsonDocument(top).toJson());
    const Connection& read = library.connections[0];
    EXPECT_FALSE(read.bonjourServiceName);
    EXPECT_FALSE(read.groupID);
    EXPECT_FALSE(read.lastConnectedAt);
    EXPECT_EQ(read.name, testing::fullySetConnection().name);

    // Written again, absent fields are left out rather than written as null.
    const QByteArray rewritten = encodeLibrary(library);
    EXPECT_FALSE(rewritten.contains("\"lastConnectedAt\""));
    EXPECT_FALSE(rewritten.contains("\"groupID\""));
    EXPECT_FALSE(rewritten.contains("\"bonjourServiceName\""));
    EXPECT_FALSE(rewritten.contains("null"));
}

TEST(LibraryFile, WriterEscapesSlashesAndSortsKeysByCodePoint) {
    const QByteArray written =
        writeJson(JsonValue::Object{{"b", std::string("a/b\"c\\d\x1f\x7f\xc3\xa9\b\f\n\r\t")},
                                    {"B", 2},
                                    {"\xc3\xa9", JsonValue::Array{}},
                                    {"a", JsonValue::Object{{"z", true}, {"y", JsonValue()}}}});
    EXPECT_EQ(written.toStdString(),
              "{\n  \"B\" : 2,\n  \"a\" : {\n    \"y\" : null,\n    \"z\" : true\n  },\n"
              "  \"b\" : \"a\\/b\\\"c\\\\d\\u001f\x7f\xc3\xa9\\b\\f\\n\\r\\t\",\n"
              "  \"\xc3\xa9\" : []\n}");
}

// --- Unreadable input --------------------------------------------------------------------------

using Mutation = std::function<void(QJsonObject& top)>;

Mutation onConnection(int index, std::function<void(QJsonObject&)> change) {
    return [index, change](QJsonObject& top) {
        QJsonArray connections = top[u"connections"].toArray();
        QJsonObject connection = connections[index].toObject();
        change(connection);
        connections[index] = connection;
        top[u"connections"] = connections;
    };
}

Mutation setKey(int index, const QString& key, const QJsonValue& value) {
    return onConnection(index, [key, value](QJsonObject& c) { c[key] = value; });
}

Mutation removeKey(int index, const QString& key) {
    return onConnection(index, [key](QJsonObject& c) { c.remove(key); });
}

Mutation onGroup(std::function<void(QJsonObject&)> change) {
    return [change](QJsonObject& top) {
        QJsonArray groups = top[u"groups"].toArray();
        QJsonObject group = groups[0].toObject();
        change(group);
        groups[0] = group;
        top[u"groups"] = groups;
    };
}

struct UnreadableCase {
    const char* name;
    Mutation mutation;
    // A word the error description must carry, so the log says what was wrong where.
    const char* mentions;
};

void PrintTo(const UnreadableCase& c, std::ostream* out) {
    *out << c.name;
}

class UnreadableLibrary : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableLibrary, MakesTheWholeFileUnreadable) {
    QJsonObject top = QJsonDocument::fromJson(readAll(goldenPath)).object();
    GetParam().mutation(top);
    const QByteArray bytes = QJsonDocument(top).toJson();
    try {
        decodeLibrary(bytes);
        FAIL() << "decoded although " << GetParam().name;
    } catch (const LibraryError& error) {
        EXPECT_TRUE(error.description().contains(QString::fromUtf8(GetParam().mentions)))
            << error.description().toStdString();
    }
}

std::vector<UnreadableCase> unreadableCases() {
    std::vector<UnreadableCase> cases;
    // Every required key of a computer, on the second record so that a good first one does not
    // save the file.
    for (const char* key : {"id", "name", "host", "port", "username", "tint", "symbol", "origin",
                            "createdAt", "options"}) {
        cases.push_back({key, removeKey(1, QString::fromLatin1(key)), key});
    }
    cases.insert(
        cases.end(),
        {
            {"name is a number", setKey(1, u"name"_s, 5), "connections[1].name"},
            {"host is null", setKey(1, u"host"_s, QJsonValue::Null), "host"},
            {"port is text", setKey(1, u"port"_s, u"5900"_s), "port"},
            {"port has a fraction", setKey(1, u"port"_s, 5900.5), "port"},
            {"port beyond 64 bits", setKey(1, u"port"_s, 1e30), "port"},
            {"username is false", setKey(1, u"username"_s, false), "username"},
            {"service name is a number", setKey(0, u"bonjourServiceName"_s, 3),
             "bonjourServiceName"},
            {"tint outside the nine", setKey(1, u"tint"_s, u"magenta"_s), "magenta"},
            {"tint in another case", setKey(1, u"tint"_s, u"Blue"_s), "Blue"},
            {"unknown origin", setKey(1, u"origin"_s, u"borrowed"_s), "borrowed"},
            {"id with braces", setKey(1, u"id"_s, u"{5A0B3C2D-1E4F-4A6B-9C8D-7E6F5A4B3C2D}"_s),
             "id"},
            {"id without hyphens", setKey(1, u"id"_s, u"5A0B3C2D1E4F4A6B9C8D7E6F5A4B3C2D"_s), "id"},
            {"group id not a UUID", setKey(0, u"groupID"_s, u"work"_s), "groupID"},
            {"date with fraction", setKey(1, u"createdAt"_s, u"2025-03-01T09:30:00.000Z"_s),
             "createdAt"},
            {"last connected with offset",
             setKey(0, u"lastConnectedAt"_s, u"2025-03-01T09:30:00+00:00"_s), "lastConnectedAt"},
            {"date as a number", setKey(1, u"createdAt"_s, 1740821400), "createdAt"},
            {"options not an object", setKey(1, u"options"_s, u"fast"_s), "options"},
            {"options as an array", setKey(1, u"options"_s, QJsonArray{}), "options"},
            {"computer not an object",
             [](QJsonObject& top) {
                 QJsonArray connections = top[u"connections"].toArray();
                 connections.append(u"Pi"_s);
                 top[u"connections"] = connections;
             },
             "connections[2]"},
            {"group without name", onGroup([](QJsonObject& g) { g.remove(u"name"); }), "groups[0]"},
            {"group id malformed", onGroup([](QJsonObject& g) { g[u"id"] = u"x"_s; }), "groups[0]"},
            {"no version", [](QJsonObject& top) { top.remove(u"version"); }, "version"},
            {"version as text", [](QJsonObject& top) { top[u"version"] = u"1"_s; }, "version"},
            {"no connections", [](QJsonObject& top) { top.remove(u"connections"); }, "connections"},
            {"no groups", [](QJsonObject& top) { top.remove(u"groups"); }, "groups"},
            {"connections as an object",
             [](QJsonObject& top) { top[u"connections"] = QJsonObject{}; }, "connections"},
        });
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableLibrary, ::testing::ValuesIn(unreadableCases()),
                         [](const auto& param) {
                             std::string name;
                             for (const char c : std::string(param.param.name)) {
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

TEST(LibraryFile, RejectsInputThatIsNotALibraryObject) {
    for (const char* text : {"", "[]", "null", "\"library\"", "{\"version\": 1, \"connections\": [",
                             "{} trailing", "\xff\xfe{}"}) {
        EXPECT_THROW(decodeLibrary(QByteArray(text)), LibraryError) << text;
    }
}

// --- Lenient options ---------------------------------------------------------------------------

TEST(LibraryFile, ReadsEachOptionOnItsOwn) {
    const QJsonObject golden = QJsonDocument::fromJson(readAll(goldenPath)).object();
    const QJsonObject stored =
        golden.value(u"connections").toArray().at(0).toObject().value(u"options").toObject();
    const ConnectionOptions storedOptions = testing::fullySetConnection().options;
    const ConnectionOptions factory;

    struct Field {
        QString key;
        std::function<void(ConnectionOptions&, const ConnectionOptions&)> takeFrom;
    };
    const std::vector<Field> fields = {
        {u"scaling"_s, [](auto& o, const auto& f) { o.scaling = f.scaling; }},
        {u"quality"_s, [](auto& o, const auto& f) { o.quality = f.quality; }},
        {u"observeOnly"_s, [](auto& o, const auto& f) { o.observeOnly = f.observeOnly; }},
        {u"shareClipboard"_s, [](auto& o, const auto& f) { o.shareClipboard = f.shareClipboard; }},
        {u"sharedSession"_s, [](auto& o, const auto& f) { o.sharedSession = f.sharedSession; }},
        {u"showRemoteCursor"_s,
         [](auto& o, const auto& f) { o.showRemoteCursor = f.showRemoteCursor; }},
        {u"commandMapping"_s, [](auto& o, const auto& f) { o.commandMapping = f.commandMapping; }},
    };
    // Missing, of the wrong type, or (for the enumerations) an unknown value.
    const std::vector<std::optional<QJsonValue>> damage = {
        std::nullopt, QJsonValue(1), QJsonValue(QJsonValue::Null), QJsonValue(u"Superb"_s)};

    for (const Field& field : fields) {
        for (const std::optional<QJsonValue>& value : damage) {
            QJsonObject options = stored;
            if (value) {
                options[field.key] = *value;
            } else {
                options.remove(field.key);
            }
            QJsonObject top = QJsonDocument::fromJson(readAll(goldenPath)).object();
            setKey(0, u"options"_s, options)(top);

            ConnectionOptions expected = storedOptions;
            field.takeFrom(expected, factory);
            const Library library = decodeLibrary(QJsonDocument(top).toJson());
            EXPECT_EQ(library.connections[0].options, expected)
                << field.key.toStdString() << " = "
                << (value ? QJsonDocument(QJsonArray{*value}).toJson().toStdString() : "missing");
        }
    }
    QJsonObject top = QJsonDocument::fromJson(readAll(goldenPath)).object();
    setKey(0, u"options"_s, QJsonObject{})(top);
    EXPECT_EQ(decodeLibrary(QJsonDocument(top).toJson()).connections[0].options, factory);
}

// --- Dates and identifiers ---------------------------------------------------------------------

TEST(LibraryFile, AcceptsOnlyWholeSecondUtcDates) {
    EXPECT_EQ(parseDateTime(u"2025-03-01T09:30:00Z"), utc(2025, 3, 1, 9, 30, 0));
    EXPECT_EQ(parseDateTime(u"2024-02-29T23:59:59Z"), utc(2024, 2, 29, 23, 59, 59));
    EXPECT_EQ(parseDateTime(u"0000-01-01T00:00:00Z")->toSecsSinceEpoch(), -62167219200);
    for (const char16_t* text : {u"2025-03-01T09:30:00.5Z",
                                 u"2025-03-01T09:30:00+01:00",
                                 u"2025-03-01T09:30:00",
                                 u"2025-03-01 09:30:00Z",
                                 u"2025-03-01t09:30:00z",
                                 u"2025-03-01T09:30Z",
                                 u"2025-03-01",
                                 u" 2025-03-01T09:30:00Z",
                                 u"20250301T093000Z",
                                 u"2025-02-29T00:00:00Z",
                                 u"2100-02-29T00:00:00Z",
                                 u"2025-13-01T00:00:00Z",
                                 u"2025-00-10T00:00:00Z",
                                 u"2025-04-31T00:00:00Z",
                                 u"2025-03-01T24:00:00Z",
                                 u"2025-03-01T23:60:00Z",
                                 u"2025-03-01T23:59:60Z",
                                 u"+025-03-01T09:30:00Z",
                                 u"2025-03-01T09:3a:00Z",
                                 u""}) {
        EXPECT_FALSE(parseDateTime(text)) << QString::fromUtf16(text).toStdString();
    }
}

TEST(LibraryFile, WritesDatesInUtcDroppingFractions) {
    EXPECT_EQ(formatDateTime(utc(2025, 3, 1, 9, 30, 0).addMSecs(999)), u"2025-03-01T09:30:00Z"_s);
    const QDateTime berlin(QDate(2025, 7, 1), QTime(12, 0), Qt::OffsetFromUTC, 2 * 3600);
    EXPECT_EQ(formatDateTime(berlin), u"2025-07-01T10:00:00Z"_s);
    // Before 1970 the dropped fraction still rounds toward the earlier second.
    EXPECT_EQ(formatDateTime(utc(1969, 12, 31, 23, 59, 59).addMSecs(500)),
              u"1969-12-31T23:59:59Z"_s);
    EXPECT_EQ(formatDateTime(utc(1600, 2, 29, 1, 2, 3)), u"1600-02-29T01:02:03Z"_s);
    // Whatever is written must read back: years beyond four digits are clamped.
    EXPECT_EQ(formatDateTime(utc(12345, 1, 1)), u"9999-12-31T23:59:59Z"_s);
    EXPECT_EQ(formatDateTime(utc(-50, 1, 1)), u"0000-01-01T00:00:00Z"_s);
    EXPECT_EQ(formatDateTime(QDateTime()), u"1970-01-01T00:00:00Z"_s);
}

TEST(LibraryFile, ReadsUuidsInEitherCaseAndWritesUpperCase) {
    const QUuid id = *parseUuid(u"1b4e28ba-2fa1-11d2-883f-0016d3cca427");
    EXPECT_EQ(id, testing::fullySetConnection().id);
    EXPECT_EQ(uuidString(id), u"1B4E28BA-2FA1-11D2-883F-0016D3CCA427"_s);
    EXPECT_FALSE(parseUuid(u"1b4e28ba-2fa1-11d2-883f-0016d3cca42"));
    EXPECT_FALSE(parseUuid(u"1b4e28ba-2fa1-11d2-883f_0016d3cca427"));
    EXPECT_FALSE(parseUuid(u"1b4e28ba-2fa1-11d2-883f-0016d3cca42g"));
}

}  // namespace
}  // namespace tessaral
