#include <gtest/gtest.h>

#include <QMetaMethod>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "FakeKeychain.hpp"
#include "Model/AppSettings.hpp"
#include "Model/Connection.hpp"
#include "Model/ConnectionStore.hpp"
#include "State/AppState.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using rfb::KeySymbol::CommandMapping;

class PreferencesTest : public ::testing::Test {
  protected:
    // Left empty for the next test; the file is in a scratch folder (TestMain.cpp).
    void SetUp() override { QSettings(u"Tessaral"_s, u"Tessaral"_s).clear(); }
    void TearDown() override { SetUp(); }
    // Written behind AppSettings' back, as another version or a hand edit would.
    static void store(const QString& key, const QVariant& value) {
        QSettings(u"Tessaral"_s, u"Tessaral"_s).setValue(key, value);
    }
};

// Through the editor or from a nearby service; links keep the factory options.
TEST_F(PreferencesTest, OnlyComputersTheUserCreatesTakeThePreferredOptions) {
    EXPECT_EQ(Connection::newComputer().options, ConnectionOptions{});
    AppSettings::setDefaultScaling(ScalingMode::actualSize);
    AppSettings::setDefaultQuality(rfb::RFBQuality::low);
    AppSettings::setDefaultShareClipboard(false);
    AppSettings::setDefaultCommandMapping(CommandMapping::control);
    const ConnectionOptions preferred{
        ScalingMode::actualSize, rfb::RFBQuality::low, false, false, true, true,
        CommandMapping::control};
    AppState state;
    QSignalSpy changed(&state, &AppState::editorRequestChanged);
    const QUuid group = QUuid::createUuid();
    state.newConnection(group);
    const Connection first = state.editorRequest().value().connection;
    EXPECT_TRUE(state.editorRequest()->isNew);
    EXPECT_EQ(first.groupID, group);
    EXPECT_EQ(first.options, preferred);
    state.newConnection(std::nullopt);  // each request a different computer
    EXPECT_FALSE(state.editorRequest()->connection.groupID);
    EXPECT_NE(state.editorRequest()->connection.id, first.id);
    state.setEditorRequest(std::nullopt);
    EXPECT_EQ(changed.count(), 3);
    const Connection nearby = Connection::fromNearbyService(u"Living Room"_s);
    EXPECT_EQ(nearby.name, u"Living Room"_s);
    EXPECT_EQ(nearby.bonjourServiceName, u"Living Room"_s);
    EXPECT_EQ(nearby.options, preferred);
    // The store's link test checks the address fields.
    EXPECT_EQ(Connection::fromAddress(rfb::VNCAddress::parse("imac.local"), ConnectionOrigin::link)
                  .options,
              ConnectionOptions{});
}

TEST(Connection, DuplicateIsANewSavedComputer) {
    const Connection original = testing::fullySetConnection();
    const Connection copy = original.duplicate();
    Connection expected = original;
    expected.name = u"Studio / \"Mac\" \u00e9 Copy"_s;
    expected.lastConnectedAt.reset();
    expected.origin = ConnectionOrigin::saved;
    expected.id = copy.id;
    EXPECT_NE(copy.id, original.id);
    EXPECT_EQ(copy, expected);
}

// Only spaces and tabs are blank; a damaged file's port is described as stored.
TEST(Connection, IsValidWithANameAPortAndSomewhereToConnectAndDescribesItsAddress) {
    const struct {
        QString name, host;
        qint64 port;
        std::optional<QString> service;
        bool valid;
        QString description;
    } cases[] = {
        {u"Mac"_s, u"mac.local"_s, 5900, {}, true, u"mac.local"_s},
        {u"Mac"_s, u"mac.local"_s, 1, {}, true, u"mac.local:1"_s},
        {u"Mac"_s, u"mac.local"_s, 65535, {}, true, u"mac.local:65535"_s},
        {u"Mac"_s, u"\t  "_s, 5900, {}, false, u"\t  "_s},
        {u"Mac"_s, u"\n"_s, 5900, {}, true, u"\n"_s},
        {u"Studio"_s, {}, 5900, u"Studio"_s, true, u"Bonjour"_s},
        {u"Studio"_s, u"studio.local"_s, 5901, u"Studio"_s, true, u"studio.local:5901"_s},
        {u"Mac"_s, u"fe80::1"_s, 5901, {}, true, u"[fe80::1]:5901"_s},
        {u"Mac"_s, u"fe80::1"_s, qint64{1} << 40, {}, false, u"[fe80::1]:1099511627776"_s},
    };
    for (const auto& c : cases) {
        Connection connection;
        std::tie(connection.name, connection.host, connection.port, connection.bonjourServiceName) =
            std::tie(c.name, c.host, c.port, c.service);
        EXPECT_EQ(connection.isValid(), c.valid) << c.name.toStdString() << c.port;
        EXPECT_EQ(connection.addressDescription(), c.description);
    }
}

// Each read afresh from the file; a key present reads as a boolean, whatever its default.
TEST_F(PreferencesTest, OnOffPreferencesReadTheirDefaultAndTheFile) {
    const struct {
        QString key;
        bool (*read)();
        bool byDefault;
        QVariant otherInFile;
    } cases[] = {
        {u"showNearby"_s, AppSettings::showNearby, true, u"no"_s},
        {u"saveThumbnails"_s, AppSettings::saveThumbnails, true, false},
        {u"defaultShareClipboard"_s, AppSettings::defaultShareClipboard, true, 0},
        {u"sendSystemShortcuts"_s, AppSettings::sendSystemShortcuts, true, u"FALSE"_s},
        {u"hideLocalCursor"_s, AppSettings::hideLocalCursor, false, u"1"_s},
        {u"captureSystemKeys"_s, AppSettings::captureSystemKeys, false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.read(), c.byDefault) << c.key.toStdString();
        store(c.key, c.otherInFile);
        EXPECT_EQ(c.read(), !c.byDefault) << c.key.toStdString();
    }
    // Previews stay on unless explicitly turned off.
    for (const auto& [value, on] : std::vector<std::pair<QVariant, bool>>{
             {u"maybe"_s, true}, {7, true}, {u"true"_s, true}, {u"false"_s, false}, {0, false}}) {
        store(u"saveThumbnails"_s, value);
        EXPECT_EQ(AppSettings::saveThumbnails(), on) << value.toString().toStdString();
    }
}

// Stored in the library file's spelling; values this version does not know read as absent.
TEST_F(PreferencesTest, ChoicesAreStoredByNameAndUnknownOnesReadAsAbsent) {
    AppSettings::setDefaultScaling(ScalingMode::actualSize);
    EXPECT_EQ(QSettings(u"Tessaral"_s, u"Tessaral"_s).value(u"defaultScaling"_s), u"actualSize"_s);
    store(u"defaultQuality"_s, u"low"_s);
    EXPECT_EQ(AppSettings::defaultQuality(), rfb::RFBQuality::low);
    store(u"libraryLayout"_s, u"columns"_s);
    store(u"defaultScaling"_s, u"Fit"_s);
    store(u"defaultQuality"_s, 3);
    store(u"defaultCommandMapping"_s, QStringList{u"meta"_s, u"control"_s});
    EXPECT_EQ(AppSettings::libraryLayout(), LibraryLayout::grid);
    EXPECT_EQ(AppSettings::defaultScaling(), ScalingMode::fit);
    EXPECT_EQ(AppSettings::defaultQuality(), rfb::RFBQuality::full);
    EXPECT_EQ(AppSettings::defaultCommandMapping(), CommandMapping::automatic);
}

TEST(AppState, PendingCredentialsAreTakenOnce) {
    AppState state;
    const QUuid id = QUuid::createUuid();
    state.setPendingCredentials(id, {"anna", "secret"});
    EXPECT_FALSE(state.takePendingCredentials(QUuid::createUuid()));
    EXPECT_EQ(state.takePendingCredentials(id), (rfb::RFBCredentials{"anna", "secret"}));
    EXPECT_FALSE(state.takePendingCredentials(id));
}

// Each signal of the sender's own class that fired while `act` ran, with its first argument.
std::string signalsDuring(QObject* sender, const std::function<void()>& act) {
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    const QMetaObject* meta = sender->metaObject();
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal) {
            spies.push_back(std::make_unique<QSignalSpy>(sender, meta->method(i)));
        }
    }
    act();
    QByteArrayList fired;
    for (const auto& spy : spies) {
        for (const QList<QVariant>& arguments : *spy) {
            fired += (spy->signal() + ' ' + arguments.value(0).toString().toUtf8()).trimmed();
        }
    }
    return fired.join(", ").toStdString();
}

// Views redraw on every signal, so changes that change nothing stay silent. Rows run in order.
TEST_F(PreferencesTest, StoreStateAndPreferencesSignalOnlyRealChanges) {
    const QTemporaryDir folder;
    testing::TestKeychain<> keychain;
    ConnectionStore store(keychain, folder.path());
    const QUuid work = store.addGroup(u"Work"_s).id, other = QUuid::createUuid();
    const Connection mac = Connection::newComputer(work);
    store.upsert(mac);
    AppState state;
    const AppState::AppAlert alert{u"Import Failed"_s, u"Not a library."_s};
    QObject* settings = &AppSettings::instance();
    const struct {
        QObject* sender;
        std::function<void()> act;
        const char* fired;
    } cases[] = {
        {&store, [&] { store.upsert(mac); }, ""},
        {&store, [&] { store.move({mac.id}, work); }, ""},
        {&store, [&] { store.renameGroup(work, u"Work"_s); }, ""},
        {&store, [&] { store.renameGroup(other, u"Elsewhere"_s); }, ""},
        {&store, [&] { store.deleteGroup(other); }, ""},
        {&store, [&] { store.deleteConnections({other}); }, ""},
        {&store, [&] { store.removeActiveSession(other); }, ""},
        {&store, [&] { store.insertActiveSession(mac.id); }, "activeSessionsChanged()"},
        {&store, [&] { store.insertActiveSession(mac.id); }, ""},
        {&store, [&] { store.removeActiveSession(mac.id); }, "activeSessionsChanged()"},
        {&store, [&] { store.renameGroup(work, u"Office"_s); }, "groupsChanged()"},
        {&store, [&] { store.move({mac.id}, std::nullopt); }, "connectionsChanged()"},
        {&state, [&] { state.setShowQuickConnect(false); }, ""},
        {&state, [&] { state.setShowQuickConnect(true); }, "showQuickConnectChanged(bool) true"},
        {&state, [&] { state.setShowQuickConnect(true); }, ""},
        {&state, [&] { state.setShowImporter(true); }, "showImporterChanged(bool) true"},
        {&state, [&] { state.setShowExporter(false); }, ""},
        {&state, [&] { state.setAlert(alert); }, "alertChanged()"},
        {&state, [&] { state.setAlert(alert); }, ""},
        {settings, [] { AppSettings::setShowNearby(true); }, ""},  // absent reads true
        {settings, [] { AppSettings::setShowNearby(false); }, "changed(QString) showNearby"},
        {settings, [] { AppSettings::setShowNearby(false); }, ""},
        {settings, [] { AppSettings::setDefaultQuality(rfb::RFBQuality::low); },
         "changed(QString) defaultQuality"},
    };
    for (size_t row = 0; row < std::size(cases); ++row) {
        EXPECT_EQ(signalsDuring(cases[row].sender, cases[row].act), cases[row].fired)
            << "row " << row;
    }
}

}  // namespace
}  // namespace tessaral
