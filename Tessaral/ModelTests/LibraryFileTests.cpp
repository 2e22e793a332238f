#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    Connection minimal;
    minimal.id = QUuid::fromString(QStringLiteral("5A0B3C2D-1E4F-4A6B-9C8D-7E6F5A4B3C2D"));
    minimal.name = QStringLiteral("Pi");
    minimal.host = QStringLiteral("10.0.0.7");
    minimal.symbol = QStringLiteral("raspberrypi");
    minimal.createdAt = utc(1999, 12, 31, 23, 59, 59);
    return {{testing::fullySetConnection(), minimal},
            {{QUuid::fromString(QStringLiteral("9C2B5A1E-0D3F-4E6A-8B7C-1D2E3F405162")),
              QStringLiteral("Work / Home")}}};
}

QJsonObject golden() {
    return QJsonDocument::fromJson(readAll(goldenPath)).object();
}

using Mutation = std::function<void(QJsonObject& top)>;

// Changes record `index` of the top-level array `list`.
Mutation onRecord(const QString& list, int index, std::function<void(QJsonObject&)> change) {
    return [=](QJsonObject& top) {
        QJsonArray records = top[list].toArray();
        QJsonObject record = records[index].toObject();
        change(record);
        records[index] = record;
        top[list] = records;
    };
}

// Undefined removes the key.
Mutation setKey(int index, const QString& key, const QJsonValue& value) {
    return onRecord(u"connections"_s, index, [=](QJsonObject& c) { c.insert(key, value); });
}

TEST(LibraryFile, WritesAndReadsTheGoldenFileAndRoundTripsOddValues) {
    const QByteArray bytes = readAll(goldenPath);
    Library library = goldenLibrary();
    // Fractions of a second never reach the file.
    library.connections[0].createdAt = library.connections[0].createdAt.addMSecs(999);
    EXPECT_EQ(encodeLibrary(library).toStdString(), bytes.toStdString());
    EXPECT_EQ(decodeLibrary(bytes), goldenLibrary());

    Connection odd;
    odd.name = u"tab\there, newline\nthere, back\\slash, \x01, emoji \U0001F5A5"_s;
    odd.host = u"fe80::1"_s;
    odd.port = -3;  // kept as stored even though no editor would accept it
    odd.bonjourServiceName = QString();
    odd.symbol = u"not.in.the.list"_s;
    odd.createdAt = utc(1960, 2, 29, 12, 0, 1);
    library = goldenLibrary();
    library.connections.push_back(odd);
    library.groups.push_back({QUuid::createUuid(), QString()});
    for (const Library& original : {Library{}, library}) {
        EXPECT_EQ(decodeLibrary(encodeLibrary(original)), original);
    }
}

TEST(LibraryFile, IgnoresUnknownKeysAndTakesNullOptionalsAsAbsent) {
    QJsonObject top = golden();
    Library expected = goldenLibrary();
    for (const QString& key : {u"bonjourServiceName"_s, u"groupID"_s, u"lastConnectedAt"_s}) {
        setKey(0, key, QJsonValue::Null)(top);
    }
    setKey(0, u"futureField"_s, QJsonObject{{u"anything"_s, 1}})(top);
    // Files from before gateways.
    onRecord(u"connections"_s, 0, [](QJsonObject& c) { c.remove(u"sshGateway"_s); })(top);
    expected.connections[0].sshGateway.clear();
    // Records from before the option follow the window, as new ones do.
    onRecord(u"connections"_s, 0, [](QJsonObject& c) {
        QJsonObject options = c[u"options"].toObject();
        options.remove(u"resizeRemote");
        c[u"options"] = options;
    })(top);
    expected.connections[0].options.resizeRemote = true;
    top[u"version"] = 7;
    top[u"extra"] = true;
    expected.connections[0].bonjourServiceName.reset();
    expected.connections[0].groupID.reset();
    expected.connections[0].lastConnectedAt.reset();
    EXPECT_EQ(decodeLibrary(QJsonDocument(top).toJson()), expected);
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

struct UnreadableCase {
    std::string name;
    Mutation mutation;
    const char* mentions;  // so that the log says what was wrong where
};

class UnreadableLibrary : public ::testing::TestWithParam<UnreadableCase> {};

TEST_P(UnreadableLibrary, MakesTheWholeFileUnreadable) {
    QJsonObject top = golden();
    GetParam().mutation(top);
    try {
        decodeLibrary(QJsonDocument(top).toJson());
        FAIL() << "decoded although " << GetParam().name;
    } catch (const LibraryError& error) {
        EXPECT_TRUE(error.description().contains(QString::fromUtf8(GetParam().mentions)))
            << error.description().toStdString();
    }
}

std::vector<UnreadableCase> unreadableCases() {
    std::vector<UnreadableCase> cases{
        {"NameIsANumber", setKey(1, u"name"_s, 5), "connections[1].name"},
        {"HostIsNull", setKey(1, u"host"_s, QJsonValue::Null), "host"},
        {"PortIsText", setKey(1, u"port"_s, u"5900"_s), "port"},
        {"PortHasAFraction", setKey(1, u"port"_s, 5900.5), "port"},
        {"PortBeyond64Bits", setKey(1, u"port"_s, 1e30), "port"},
        {"ServiceNameIsANumber", setKey(0, u"bonjourServiceName"_s, 3), "bonjourServiceName"},
        {"TintInAnotherCase", setKey(1, u"tint"_s, u"Blue"_s), "Blue"},
        {"UnknownOrigin", setKey(1, u"origin"_s, u"borrowed"_s), "borrowed"},
        {"IdWithoutHyphens", setKey(1, u"id"_s, u"5A0B3C2D1E4F4A6B9C8D7E6F5A4B3C2D"_s), "id"},
        {"GroupIdNotAUuid", setKey(0, u"groupID"_s, u"work"_s), "groupID"},
        {"LastConnectedWithOffset", setKey(0, u"lastConnectedAt"_s, u"2025-03-01T09:30:00+00:00"_s),
         "lastConnectedAt"},
        {"DateAsANumber", setKey(1, u"createdAt"_s, 1740821400), "createdAt"},
        {"OptionsAsAnArray", setKey(1, u"options"_s, QJsonArray{}), "options"},
        {"ComputerNotAnObject",
         [](QJsonObject& top) { top[u"connections"] = top[u"connections"].toArray() + u"Pi"_s; },
         "connections[2]"},
        {"GroupWithoutName", onRecord(u"groups"_s, 0, [](QJsonObject& g) { g.remove(u"name"); }),
         "groups[0]"},
        {"GroupIdMalformed", onRecord(u"groups"_s, 0, [](QJsonObject& g) { g[u"id"] = u"x"_s; }),
         "groups[0]"},
        {"NoVersion", [](QJsonObject& top) { top.remove(u"version"); }, "version"},
        {"VersionAsText", [](QJsonObject& top) { top[u"version"] = u"1"_s; }, "version"},
        {"NoGroups", [](QJsonObject& top) { top.remove(u"groups"); }, "groups"},
        {"ConnectionsAsAnObject", [](QJsonObject& top) { top[u"connections"] = QJsonObject{}; },
         "connections"},
    };
    // Every required key of a computer, on the second record so that a good first one cannot help.
    for (const char* key : {"id", "name", "host", "port", "username", "tint", "symbol", "origin",
                            "createdAt", "options"}) {
        cases.push_back({std::string("Missing_") + key,
                         setKey(1, QString::fromLatin1(key), QJsonValue::Undefined), key});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, UnreadableLibrary, ::testing::ValuesIn(unreadableCases()),
                         [](const auto& param) { return param.param.name; });

// Each option missing, of the wrong type or an unknown value falls back to its factory value alone.
TEST(LibraryFile, ReadsEachOptionOnItsOwn) {
    const auto optionsOf = [](const QByteArray& file) {
        return QJsonDocument::fromJson(file)[u"connections"][0][u"options"].toObject();
    };
    const QJsonObject stored = optionsOf(readAll(goldenPath));
    const QJsonObject factory = optionsOf(encodeLibrary({{Connection{}}, {}}));
    const auto decodedOptions = [](const QJsonObject& options) {
        QJsonObject top = golden();
        setKey(0, u"options"_s, options)(top);
        return decodeLibrary(QJsonDocument(top).toJson()).connections[0].options;
    };
    for (const QString& key : stored.keys()) {
        QJsonObject reset = stored;
        reset[key] = factory[key];
        const ConnectionOptions expected = decodedOptions(reset);
        EXPECT_FALSE(expected == testing::fullySetConnection().options) << key.toStdString();
        for (const QJsonValue& damage : {QJsonValue(QJsonValue::Undefined), QJsonValue(1),
                                         QJsonValue(QJsonValue::Null), QJsonValue(u"Superb"_s)}) {
            QJsonObject options = stored;
            options.insert(key, damage);  // undefined removes the key
            EXPECT_TRUE(decodedOptions(options) == expected)
                << key.toStdString() << " = " << damage.toVariant().toString().toStdString();
        }
    }
    EXPECT_TRUE(decodedOptions({}) == ConnectionOptions{});
}

// Dates are read and written only as whole-second UTC; identifiers are read in either case.
TEST(LibraryFile, ReadsDatesAndIdsStrictlyAndWritesDatesReadably) {
    EXPECT_EQ(parseDateTime(u"2024-02-29T23:59:59Z"), utc(2024, 2, 29, 23, 59, 59));
    EXPECT_EQ(parseDateTime(u"0000-01-01T00:00:00Z")->toSecsSinceEpoch(), -62167219200);
    for (const QString& text :
         u"2025-03-01T09:30:00.5Z,2025-03-01T09:30:00+01:00,2025-03-01T09:30:00,"
         u"2025-03-01 09:30:00Z,2025-03-01t09:30:00z,2025-03-01T09:30Z,2025-03-01,"
         u" 2025-03-01T09:30:00Z,20250301T093000Z,2025-02-29T00:00:00Z,2100-02-29T00:00:00Z,"
         u"2025-13-01T00:00:00Z,2025-00-10T00:00:00Z,2025-04-31T00:00:00Z,2025-03-01T24:00:00Z,"
         u"2025-03-01T23:60:00Z,2025-03-01T23:59:60Z,+025-03-01T09:30:00Z,2025-03-01T09:3a:00Z,"_s
             .split(u',')) {
        EXPECT_FALSE(parseDateTime(text)) << text.toStdString();
    }
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

    EXPECT_EQ(parseUuid(u"1b4e28ba-2fa1-11d2-883f-0016d3cca427"), testing::fullySetConnection().id);
    for (const char16_t* text :
         {u"1b4e28ba-2fa1-11d2-883f-0016d3cca42", u"1b4e28ba-2fa1-11d2-883f_0016d3cca427",
          u"1b4e28ba-2fa1-11d2-883f-0016d3cca42g", u"{1b4e28ba-2fa1-11d2-883f-0016d3cca427}"}) {
        EXPECT_FALSE(parseUuid(text)) << QString::fromUtf16(text).toStdString();
    }
}

}  // namespace
}  // namespace tessaral
