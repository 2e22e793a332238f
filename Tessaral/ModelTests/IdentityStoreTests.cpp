#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using testing::readAll;
using Kind = rfb::RFBIdentity::Kind;

const rfb::RFBIdentity certificate{
    Kind::certificate, {0x30, 0x82, 0x01, 0xFF, 0x00}, {rfb::RFBTrustProblem::selfSigned}};
const rfb::RFBIdentity key{Kind::rsaKey, {0, 0, 8, 0, 0xC5, 0x01, 0x00, 0x01}, {}};

const QByteArray valid = R"({"identities": [{"server": "a:1", "kind": "rsaKey", "data": "AAE=",
                             "trustedAt": "2026-01-02T03:04:05Z"}]})";

class IdentityStoreTest : public ::testing::Test {
  protected:
    QString path() const { return folder_.filePath(u"Identities.json"_s); }
    QStringList copies() const {
        return QDir(folder_.path()).entryList({u"Identities-unreadable-*.json"_s});
    }
    QTemporaryDir folder_;
};

TEST_F(IdentityStoreTest, RemembersWholeIdentitiesAcrossStartsAndForgetsThem) {
    ASSERT_TRUE(testing::writeAll(path(), valid));
    auto store = std::make_unique<IdentityStore>(folder_.path());
    EXPECT_EQ(store->identity(u"a:1"_s), (rfb::RFBIdentity{Kind::rsaKey, {0, 1}, {}}));
    store->forget(u"a:1"_s);
    QSignalSpy changed(store.get(), &IdentityStore::identitiesChanged);
    store->trust(u"studio.local:5900"_s, key);
    store->trust(u"[::1]:5901"_s, key);
    store->trust(u"[::1]:5901"_s, certificate);  // replaces the key
    EXPECT_EQ(changed.count(), 3);
    const rfb::RFBIdentity trusted{Kind::certificate, certificate.data, {}};
    EXPECT_EQ(store->identity(u"[::1]:5901"_s), trusted);
    EXPECT_EQ(store->identity(u"studio.local:5901"_s), std::nullopt);

    // What a person reading the file needs, the fingerprint as the server side shows it included.
    const QJsonArray written = QJsonDocument::fromJson(readAll(path()))[u"identities"].toArray();
    ASSERT_EQ(written.size(), 2);
    EXPECT_EQ(written[0][u"server"], u"[::1]:5901"_s);
    EXPECT_EQ(written[0][u"kind"], u"certificate"_s);
    EXPECT_EQ(written[0][u"data"], u"MIIB/wA="_s);
    EXPECT_EQ(written[0][u"fingerprint"].toString().toStdString(), certificate.fingerprint());
    EXPECT_EQ(written[1][u"kind"], u"rsaKey"_s);

    const QList<TrustedIdentity> before = store->identities();
    EXPECT_LE(before[0].trustedAt.secsTo(QDateTime::currentDateTimeUtc()), 60);
    store = std::make_unique<IdentityStore>(folder_.path());
    EXPECT_EQ(store->identities(), before);
    EXPECT_FALSE(store->unreadableFile());

    QSignalSpy forgotten(store.get(), &IdentityStore::identitiesChanged);
    store->forget(u"elsewhere:5900"_s);
    store->forget(u"studio.local:5900"_s);
    EXPECT_EQ(forgotten.count(), 1);
    store = std::make_unique<IdentityStore>(folder_.path());
    ASSERT_EQ(store->identities().size(), 1);
    EXPECT_EQ(store->identities()[0].server, u"[::1]:5901"_s);
}

TEST(IdentityStore, ServersAreKeyedAsTheSessionReachesThem) {
    const auto keyOf = [](const QString& host, qint64 port, std::optional<QString> service) {
        Connection connection;
        connection.host = host;
        connection.port = port;
        connection.bonjourServiceName = std::move(service);
        return IdentityStore::serverKey(connection);
    };
    EXPECT_EQ(keyOf(u"Studio.Local"_s, 5900, std::nullopt), u"studio.local:5900"_s);
    EXPECT_EQ(keyOf(u"studio.local"_s, 5901, std::nullopt), u"studio.local:5901"_s);
    EXPECT_EQ(keyOf(u"FE80::1"_s, 5900, std::nullopt), u"[fe80::1]:5900"_s);
    // A computer with a service is reached through it, whatever host it also has.
    EXPECT_EQ(keyOf(u"studio.local"_s, 5900, u"Studio"_s), u"Studio (Bonjour)"_s);
}

struct DamagedFile {
    const char* name;
    QByteArray bytes;
    const char* reason;
};

class DamagedIdentityFile : public IdentityStoreTest,
                            public ::testing::WithParamInterface<DamagedFile> {};

// Moved aside whole, reported, never mixed with the library; the store starts empty and writes
// a fresh file with the next trust.
TEST_P(DamagedIdentityFile, IsMovedAsideAndReportedAndTheLibraryKeepsItsFile) {
    testing::TestKeychain<> keychain;
    ConnectionStore library(keychain, folder_.path());
    library.addGroup(u"Work"_s);
    const QByteArray libraryBytes = readAll(library.libraryFilePath());
    ASSERT_TRUE(testing::writeAll(path(), GetParam().bytes));

    testing::LogCapture log;
    IdentityStore store(folder_.path());
    EXPECT_TRUE(store.identities().isEmpty());
    EXPECT_EQ(log.storeErrors(), QStringList{u"Couldn't read trusted identities"_s});
    ASSERT_TRUE(store.unreadableFile());
    EXPECT_TRUE(store.unreadableFile()->reason.contains(QLatin1StringView(GetParam().reason)))
        << store.unreadableFile()->reason.toStdString();
    EXPECT_EQ(store.unreadableFile()->movedTo, copies().value(0));
    EXPECT_EQ(readAll(folder_.filePath(copies().value(0))), GetParam().bytes);
    EXPECT_EQ(readAll(library.libraryFilePath()), libraryBytes);

    store.trust(u"studio.local:5900"_s, key);
    EXPECT_EQ(IdentityStore(folder_.path()).identity(u"studio.local:5900"_s), key);
    EXPECT_EQ(copies().size(), 1);
}

const DamagedFile damagedFiles[] = {
    {"Truncated", valid.left(40), "not valid JSON"},
    {"NoList", R"({"version": 1})", "no list"},
    {"EntryNotAnObject", R"({"identities": [3]})", "identities[0]"},
    {"UnknownKind", QByteArray(valid).replace("rsaKey", "pgpKey"), "kind"},
    {"DataNotBase64", QByteArray(valid).replace("AAE=", "A*E="), "data"},
    {"NoServer", QByteArray(valid).replace("server", "sever"), "server"},
    {"DateWithAnOffset", QByteArray(valid).replace("05Z", "05+01:00"), "trustedAt"},
};

INSTANTIATE_TEST_SUITE_P(Files, DamagedIdentityFile, ::testing::ValuesIn(damagedFiles),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tessaral
