#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <memory>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/Thumbnail.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using testing::readAll;
using testing::utc;

class ConnectionStoreTest : public ::testing::Test {
  protected:
    // A folder that does not exist yet, two levels below the scratch folder.
    QString folder() const { return scratch_.path() + u"/data/Tessaral"_s; }
    QString libraryFile() const { return folder() + u"/Library.json"_s; }

    std::unique_ptr<ConnectionStore> open() {
        return std::make_unique<ConnectionStore>(keychain_, folder());
    }

    // The file holds exactly what memory holds.
    static void expectSaved(const ConnectionStore& store) {
        EXPECT_EQ(readAll(store.libraryFilePath()).toStdString(),
                  encodeLibrary(Library{store.connections(), store.groups()}).toStdString());
    }

    static Connection computer(const QString& name, const QString& host = {}, qint64 port = 5900) {
        Connection connection;
        connection.name = name;
        connection.host = host.isEmpty() ? name.toLower() + u".local"_s : host;
        connection.port = port;
        connection.createdAt = utc(2025, 1, 1);
        return connection;
    }

    static QStringList names(const QList<Connection>& connections) {
        QStringList result;
        for (const Connection& connection : connections) {
            result.push_back(connection.name);
        }
        return result;
    }

    static void makeThumbnail(const ConnectionStore& store, const QUuid& id) {
        QDir().mkpath(QFileInfo(store.thumbnailPath(id)).path());
        ASSERT_TRUE(testing::writeAll(store.thumbnailPath(id), "png"));
    }

    QTemporaryDir scratch_;
    testing::FakeKeychain keychain_;
};

TEST_F(ConnectionStoreTest, FirstStartMakesPrivateFoldersAndAnEmptyLibrary) {
    testing::LogCapture log;
    auto store = open();
    EXPECT_TRUE(store->connections().isEmpty());
    EXPECT_TRUE(store->groups().isEmpty());
    EXPECT_EQ(store->directory(), folder());
    EXPECT_EQ(ConnectionStore::defaultDirectory(),
              qEnvironmentVariable("XDG_DATA_HOME") + u"/Tessaral"_s);
    for (const QString& path :
         {scratch_.path() + u"/data"_s, folder(), folder() + u"/Thumbnails"_s}) {
        const QFileInfo info(path);
        EXPECT_TRUE(info.isDir()) << path.toStdString();
        EXPECT_EQ(info.permissions() & 0x7777, QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ReadUser |
                                                   QFile::WriteUser | QFile::ExeUser)
            << path.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    EXPECT_TRUE(log.messages().isEmpty());

    store->upsert(computer(u"Mac"_s));
    expectSaved(*store);
}

TEST_F(ConnectionStoreTest, SavesAfterEveryChangeAndReloadsTheSame) {
    auto store = open();
    const Connection mac = computer(u"Mac"_s);
    const Connection pc = computer(u"PC"_s);
    store->upsert(mac);
    store->upsert(pc);
    expectSaved(*store);

    Connection renamed = mac;
    renamed.name = u"Mac Studio"_s;
    store->upsert(renamed);
    EXPECT_EQ(names(store->connections()), (QStringList{u"Mac Studio"_s, u"PC"_s}));
    expectSaved(*store);

    const ConnectionGroup work = store->addGroup(u"  Work "_s);
    EXPECT_EQ(work.name, u"  Work "_s);
    expectSaved(*store);
    store->addGroup(u"  Work "_s);  // names need not be unique
    EXPECT_EQ(store->groups().size(), 2);

    store->move({mac.id, QUuid::createUuid()}, work.id);
    EXPECT_EQ(store->connection(mac.id)->groupID, work.id);
    EXPECT_FALSE(store->connection(pc.id)->groupID);
    expectSaved(*store);

    store->renameGroup(work.id, u"Office"_s);
    EXPECT_EQ(store->groups().front().name, u"Office"_s);
    expectSaved(*store);

    store->markConnected(pc.id);
    EXPECT_TRUE(store->connection(pc.id)->lastConnectedAt);
    expectSaved(*store);

    store->deleteGroup(work.id);
    EXPECT_EQ(store->groups().size(), 1);
    EXPECT_EQ(store->connections().size(), 2);
    EXPECT_FALSE(store->connection(mac.id)->groupID);
    expectSaved(*store);

    store->deleteConnections({pc.id});
    expectSaved(*store);

    const QByteArray saved = readAll(libraryFile());
    store.reset();
    auto reopened = open();
    EXPECT_EQ(names(reopened->connections()), QStringList{u"Mac Studio"_s});
    EXPECT_EQ(encodeLibrary(Library{reopened->connections(), reopened->groups()}), saved);
}

TEST_F(ConnectionStoreTest, ChangingNothingSignalsNothing) {
    auto store = open();
    const Connection mac = computer(u"Mac"_s);
    store->upsert(mac);
    const ConnectionGroup group = store->addGroup(u"Work"_s);
    store->move({mac.id}, group.id);

    QSignalSpy connections(store.get(), &ConnectionStore::connectionsChanged);
    QSignalSpy groups(store.get(), &ConnectionStore::groupsChanged);
    QSignalSpy sessions(store.get(), &ConnectionStore::activeSessionsChanged);
    store->upsert(*store->connection(mac.id));
    store->move({mac.id}, group.id);
    store->renameGroup(group.id, u"Work"_s);
    store->renameGroup(QUuid::createUuid(), u"Elsewhere"_s);
    store->deleteGroup(QUuid::createUuid());
    store->deleteConnections({QUuid::createUuid()});
    EXPECT_EQ(connections.count(), 0);
    EXPECT_EQ(groups.count(), 0);

    store->insertActiveSession(mac.id);
    store->insertActiveSession(mac.id);
    store->removeActiveSession(QUuid::createUuid());
    EXPECT_EQ(sessions.count(), 1);
    EXPECT_EQ(store->activeSessions(), QSet<QUuid>{mac.id});
    store->removeActiveSession(mac.id);
    EXPECT_EQ(sessions.count(), 2);

    store->renameGroup(group.id, u"Office"_s);
    store->move({mac.id}, std::nullopt);
    EXPECT_EQ(groups.count(), 1);
    EXPECT_EQ(connections.count(), 1);
}

TEST_F(ConnectionStoreTest, TransientComputersAreNeverWritten) {
    auto store = open();
    store->upsert(computer(u"Saved"_s));
    Connection nearby = Connection::fromNearbyService(u"Living Room"_s);
    QSignalSpy transientChanged(store.get(), &ConnectionStore::transientChanged);
    store->registerTransient(nearby);
    EXPECT_EQ(transientChanged.count(), 1);
    EXPECT_EQ(store->connection(nearby.id), nearby);
    EXPECT_FALSE(store->isSaved(nearby.id));
    const QByteArray before = readAll(libraryFile());

    store->markConnected(nearby.id);
    EXPECT_TRUE(store->transient().value(nearby.id).lastConnectedAt);
    EXPECT_EQ(readAll(libraryFile()), before);
    EXPECT_TRUE(store->recents().isEmpty());

    // Saving it moves it from the transient ones into the library.
    nearby = *store->connection(nearby.id);
    store->upsert(nearby);
    EXPECT_TRUE(store->isSaved(nearby.id));
    EXPECT_TRUE(store->transient().isEmpty());
    expectSaved(*store);

    const Connection other = Connection::fromNearbyService(u"Kitchen"_s);
    store->registerTransient(other);
    store.reset();
    auto reopened = open();
    EXPECT_TRUE(reopened->transient().isEmpty());
    EXPECT_FALSE(reopened->connection(other.id));
    EXPECT_EQ(reopened->connections().size(), 2);
}

TEST_F(ConnectionStoreTest, RecentsAreTheTwelveNewestConnected) {
    Library library;
    for (int i = 0; i < 15; ++i) {
        Connection connection = computer(u"C%1"_s.arg(i));
        // Out of library order, several sharing a time.
        connection.lastConnectedAt = utc(2025, 1, 1).addSecs((i * 7) % 15 / 2 * 60);
        library.connections.push_back(connection);
    }
    for (int i = 0; i < 3; ++i) {
        library.connections.insert(i * 5, computer(u"Never%1"_s.arg(i)));
    }
    QDir().mkpath(folder());
    ASSERT_TRUE(testing::writeAll(libraryFile(), encodeLibrary(library)));
    auto store = open();
    ASSERT_EQ(store->connections().size(), 18);

    QList<Connection> expected;
    for (const Connection& connection : library.connections) {
        if (connection.lastConnectedAt) {
            expected.push_back(connection);
        }
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
        return *a.lastConnectedAt > *b.lastConnectedAt;
    });
    expected.resize(12);
    EXPECT_EQ(names(store->recents()), names(expected));

    // The newest connection goes to the front.
    const QUuid oldest = expected.back().id;
    store->markConnected(oldest);
    EXPECT_EQ(store->recents().front().id, oldest);
    EXPECT_EQ(store->recents().size(), 12);
}

TEST_F(ConnectionStoreTest, DeleteCleansPasswordsAndThumbnailsEvenForUnknownIds) {
    auto store = open();
    const Connection a = computer(u"A"_s);
    const Connection b = computer(u"B"_s);
    store->upsert(a);
    store->upsert(b);
    const Connection nearby = Connection::fromNearbyService(u"Nearby"_s);
    store->registerTransient(nearby);
    const QUuid unknown = QUuid::createUuid();
    for (const QUuid& id : {a.id, b.id, unknown}) {
        keychain_.setPassword(id, u"secret"_s);
        makeThumbnail(*store, id);
    }

    store->deleteConnections({a.id, unknown, nearby.id});
    EXPECT_EQ(names(store->connections()), QStringList{u"B"_s});
    EXPECT_TRUE(store->transient().contains(nearby.id));
    EXPECT_FALSE(keychain_.password(a.id));
    EXPECT_FALSE(keychain_.password(unknown));
    EXPECT_EQ(keychain_.password(b.id), u"secret"_s);
    EXPECT_TRUE(keychain_.deleted.contains(nearby.id));
    EXPECT_FALSE(QFileInfo::exists(store->thumbnailPath(a.id)));
    EXPECT_FALSE(QFileInfo::exists(store->thumbnailPath(unknown)));
    EXPECT_TRUE(QFileInfo::exists(store->thumbnailPath(b.id)));
    expectSaved(*store);
}

TEST_F(ConnectionStoreTest, ClearLinksRemovesOnlyLinkComputers) {
    auto store = open();
    const Connection saved = computer(u"Saved"_s);
    store->upsert(saved);
    const Connection link = store->connectionFor(rfb::VNCAddress::parse("vnc://10.0.0.9:5905"));
    keychain_.setPassword(link.id, u"pw"_s);
    keychain_.setPassword(saved.id, u"pw"_s);
    makeThumbnail(*store, link.id);

    store->clearLinks();
    EXPECT_EQ(names(store->connections()), QStringList{u"Saved"_s});
    EXPECT_FALSE(keychain_.password(link.id));
    EXPECT_TRUE(keychain_.password(saved.id));
    EXPECT_FALSE(QFileInfo::exists(store->thumbnailPath(link.id)));

    const QByteArray before = readAll(libraryFile());
    QFile::remove(libraryFile());
    store->clearLinks();  // nothing to remove, but the file is still written
    EXPECT_EQ(readAll(libraryFile()), before);
}

TEST_F(ConnectionStoreTest, LinksMatchHostIgnoringCaseAndUserNameWhenGiven) {
    auto store = open();
    Connection imac = computer(u"iMac"_s, u"imac.local"_s);
    imac.username = u"anna"_s;
    store->upsert(imac);

    EXPECT_EQ(store->connectionFor(rfb::VNCAddress::parse("IMAC.local")).id, imac.id);
    EXPECT_EQ(store->connectionFor(rfb::VNCAddress::parse("vnc://anna@imac.LOCAL")).id, imac.id);
    EXPECT_EQ(store->connections().size(), 1);

    const Connection otherUser =
        store->connectionFor(rfb::VNCAddress::parse("vnc://ben@imac.local"));
    EXPECT_NE(otherUser.id, imac.id);
    EXPECT_EQ(otherUser.origin, ConnectionOrigin::link);
    EXPECT_EQ(otherUser.username, u"ben"_s);
    const Connection otherPort = store->connectionFor(rfb::VNCAddress::parse("imac.local:1"));
    EXPECT_NE(otherPort.id, imac.id);
    EXPECT_EQ(otherPort.port, 5901);
    EXPECT_EQ(store->connections().size(), 3);
    expectSaved(*store);

    // A link made once is found again, and the password of a link never reaches the file.
    const Connection again =
        store->connectionFor(rfb::VNCAddress::parse("vnc://ben:pw@imac.local"));
    EXPECT_EQ(again.id, otherUser.id);
    EXPECT_FALSE(readAll(libraryFile()).contains("\"pw\""));
}

TEST_F(ConnectionStoreTest, ImportMapsGroupsByNameAndAddsFreshComputers) {
    auto store = open();
    const ConnectionGroup work = store->addGroup(u"Work"_s);
    store->upsert(computer(u"Existing"_s));

    Library file;
    const ConnectionGroup fileWork{QUuid::createUuid(), u"Work"_s};
    const ConnectionGroup fileLower{QUuid::createUuid(), u"work"_s};
    file.groups = {fileWork, fileLower};
    Connection inWork = testing::fullySetConnection();
    inWork.groupID = fileWork.id;
    Connection inLower = computer(u"Lower"_s);
    inLower.groupID = fileLower.id;
    Connection inMissingGroup = computer(u"Orphan"_s);
    inMissingGroup.groupID = QUuid::createUuid();
    file.connections = {inWork, inLower, inMissingGroup};

    QSignalSpy connectionsChanged(store.get(), &ConnectionStore::connectionsChanged);
    EXPECT_EQ(store->importData(encodeLibrary(file)), 3);
    EXPECT_EQ(connectionsChanged.count(), 1);
    ASSERT_EQ(store->groups().size(), 2);
    EXPECT_EQ(store->groups()[1].name, u"work"_s);
    EXPECT_NE(store->groups()[1].id, fileLower.id);
    ASSERT_EQ(store->connections().size(), 4);

    const Connection& imported = store->connections()[1];
    EXPECT_NE(imported.id, inWork.id);
    EXPECT_EQ(imported.groupID, work.id);
    EXPECT_FALSE(imported.lastConnectedAt);
    EXPECT_EQ(imported.origin, ConnectionOrigin::saved);
    Connection expected = inWork;
    expected.id = imported.id;
    expected.groupID = work.id;
    expected.lastConnectedAt.reset();
    expected.origin = ConnectionOrigin::saved;
    EXPECT_EQ(imported, expected);
    EXPECT_EQ(store->connections()[2].groupID, store->groups()[1].id);
    EXPECT_FALSE(store->connections()[3].groupID);
    expectSaved(*store);

    // A second import adds the computers again but no groups.
    EXPECT_EQ(store->importData(encodeLibrary(file)), 3);
    EXPECT_EQ(store->connections().size(), 7);
    EXPECT_EQ(store->groups().size(), 2);
}

TEST_F(ConnectionStoreTest, ExportsASelectionWithOnlyTheGroupsItUses) {
    auto store = open();
    const ConnectionGroup empty = store->addGroup(u"Empty"_s);
    const ConnectionGroup used = store->addGroup(u"Used"_s);
    const ConnectionGroup other = store->addGroup(u"Other"_s);
    Connection a = computer(u"A"_s);
    a.groupID = used.id;
    Connection b = computer(u"B"_s);
    Connection c = computer(u"C"_s);
    c.groupID = other.id;
    for (const Connection& connection : {a, b, c}) {
        store->upsert(connection);
    }
    store->registerTransient(computer(u"Transient"_s));

    const Library everything = decodeLibrary(store->exportData());
    EXPECT_EQ(everything.connections, store->connections());
    EXPECT_EQ(everything.groups, (QList<ConnectionGroup>{used, other}));
    EXPECT_FALSE(store->exportData().contains("Empty"));

    const Library selection =
        decodeLibrary(store->exportData(QSet{b.id, a.id, QUuid::createUuid()}));
    EXPECT_EQ(names(selection.connections), (QStringList{u"A"_s, u"B"_s}));
    EXPECT_EQ(selection.groups, QList<ConnectionGroup>{used});
    EXPECT_TRUE(decodeLibrary(store->exportData(QSet<QUuid>{})).connections.isEmpty());
    (void)empty;
}

TEST_F(ConnectionStoreTest, FailedSaveIsLoggedAndMemoryKeepsTheChange) {
    auto store = open();
    store->upsert(computer(u"Before"_s));
    const QByteArray before = readAll(libraryFile());

    testing::UnwritableFolder unwritable(folder());
    if (!unwritable.active()) {
        GTEST_SKIP() << "cannot make a folder unwritable here";
    }
    testing::LogCapture log;
    store->upsert(computer(u"After"_s));
    EXPECT_EQ(names(store->connections()), (QStringList{u"Before"_s, u"After"_s}));
    ASSERT_EQ(log.storeErrors().size(), 1);
    EXPECT_TRUE(log.storeErrors()[0].startsWith(u"Couldn't save library: "_s))
        << log.storeErrors()[0].toStdString();
    EXPECT_EQ(readAll(libraryFile()), before);

    unwritable.release();
    store->addGroup(u"Later"_s);
    expectSaved(*store);
}

// --- Thumbnails --------------------------------------------------------------------------------

class ThumbnailTest : public ConnectionStoreTest {
  protected:
    // Waits for the background writes and the revision updates they post.
    static void settle(ConnectionStore& store, int revision) {
        ASSERT_TRUE(store.waitForThumbnails(10'000));
        QElapsedTimer timer;
        timer.start();
        while (store.thumbnailRevision() < revision && timer.elapsed() < 10'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        QCoreApplication::processEvents();
    }

    static QImage gradient(int width, int height) {
        QImage image(width, height, QImage::Format_ARGB32);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                image.setPixel(x, y, qRgba(x % 256, y % 256, 128, x < 10 ? 0 : 255));
            }
        }
        return image;
    }
};

TEST_F(ThumbnailTest, WritesScaledPngsAndCountsThem) {
    auto store = open();
    const Connection wide = computer(u"Wide"_s);
    const Connection small = computer(u"Small"_s);
    store->upsert(wide);
    store->upsert(small);
    QSignalSpy revisions(store.get(), &ConnectionStore::thumbnailRevisionChanged);

    store->saveThumbnail(gradient(1280, 720), wide.id);
    store->saveThumbnail(gradient(300, 200), small.id);
    settle(*store, 2);
    EXPECT_EQ(store->thumbnailRevision(), 2);
    EXPECT_EQ(revisions.count(), 2);

    EXPECT_EQ(QFileInfo(store->thumbnailPath(wide.id)).fileName(), uuidString(wide.id) + u".png"_s);
    const QImage wideThumbnail(store->thumbnailPath(wide.id), "PNG");
    EXPECT_EQ(wideThumbnail.size(), QSize(640, 360));
    EXPECT_FALSE(wideThumbnail.hasAlphaChannel());
    const QImage smallThumbnail(store->thumbnailPath(small.id), "PNG");
    EXPECT_EQ(smallThumbnail.size(), QSize(300, 200));
    // Transparent areas are laid over black; opaque pixels keep their colour.
    EXPECT_EQ(smallThumbnail.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(smallThumbnail.pixel(100, 50), qRgb(100, 50, 128));

    const QImage strip =
        QImage::fromData(thumbnailPng(gradient(6400, 5)).value_or(QByteArray()), "PNG");
    EXPECT_EQ(strip.size(), QSize(640, 1));
}

TEST_F(ThumbnailTest, NoFileForUnsavedDeletedOrEmptyAndAMissingFolderIsRemade) {
    auto store = open();
    const Connection doomed = computer(u"Doomed"_s);
    const Connection kept = computer(u"Kept"_s);
    const Connection blank = computer(u"Blank"_s);
    for (const Connection& connection : {doomed, kept, blank}) {
        store->upsert(connection);
    }
    const Connection nearby = Connection::fromNearbyService(u"Nearby"_s);
    store->registerTransient(nearby);
    QDir(folder() + u"/Thumbnails"_s).removeRecursively();
    store->saveThumbnail(gradient(100, 100), nearby.id);
    store->saveThumbnail(QImage(), blank.id);
    store->saveThumbnail(gradient(2000, 1500), doomed.id);
    store->saveThumbnail(gradient(64, 48), kept.id);
    store->deleteConnections({doomed.id});
    settle(*store, 2);
    EXPECT_EQ(store->thumbnailRevision(), 2);  // refused images count for nothing
    EXPECT_EQ(testing::entries(folder() + u"/Thumbnails"_s),
              QStringList{uuidString(kept.id) + u".png"_s});
    EXPECT_EQ(QImage(store->thumbnailPath(kept.id)).size(), QSize(64, 48));
}

}  // namespace
}  // namespace tessaral
