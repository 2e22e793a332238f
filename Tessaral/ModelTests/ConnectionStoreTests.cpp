#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "Model/Thumbnail.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using testing::names;
using testing::readAll;
using testing::utc;

Connection computer(const QString& name, std::optional<QUuid> group = std::nullopt) {
    Connection connection;
    connection.name = name;
    connection.host = name.toLower() + u".local"_s;
    connection.groupID = group;
    connection.createdAt = utc(2025, 1, 1);  // whole seconds, as the file keeps them
    return connection;
}

Library sampleLibrary(int count) {
    Library library{{}, {{QUuid::createUuid(), u"Group"_s}}};
    for (int i = 0; i < count; ++i) {
        library.connections.push_back(computer(u"Computer %1"_s.arg(i), library.groups[0].id));
    }
    return library;
}

class ConnectionStoreTest : public ::testing::Test {
  protected:
    QString folder() const { return scratch_.path() + u"/data/Tessaral"_s; }  // two new levels
    QString libraryFile() const { return folder() + u"/Library.json"_s; }
    auto open() { return std::make_unique<ConnectionStore>(keychain_, folder()); }
    // Unreadable libraries moved aside.
    QStringList copies() const {
        return QDir(folder()).entryList({u"Library-unreadable-*.json"_s},
                                        QDir::Files | QDir::Dirs | QDir::System);
    }
    QByteArray firstCopy() const { return readAll(folder() + u'/' + copies().value(0)); }

    // The file holds exactly what memory holds.
    static void expectSaved(const ConnectionStore& store) {
        EXPECT_EQ(readAll(store.libraryFilePath()).toStdString(),
                  encodeLibrary(Library{store.connections(), store.groups()}).toStdString());
    }

    // A password and a thumbnail file for each of `ids`.
    void leaveTraces(const ConnectionStore& store, const QList<QUuid>& ids) {
        for (const QUuid& id : ids) {
            keychain_.waitForDone().setPassword(id, u"secret"_s);
            ASSERT_TRUE(testing::writeAll(store.thumbnailPath(id), "png"));
        }
    }

    QTemporaryDir scratch_;
    testing::TestKeychain<> keychain_;
};

TEST_F(ConnectionStoreTest, FirstStartMakesPrivateFoldersAndAnEmptyLibrary) {
    testing::LogCapture log;
    auto store = open();
    EXPECT_TRUE(store->connections().isEmpty() && store->groups().isEmpty());
    EXPECT_EQ(ConnectionStore::defaultDirectory(),
              qEnvironmentVariable("XDG_DATA_HOME") + u"/Tessaral"_s);
    // Read, write and search for the owner alone.
    for (const QString& path :
         {scratch_.path() + u"/data"_s, folder(), folder() + u"/Thumbnails"_s}) {
        EXPECT_EQ(QFileInfo(path).permissions() & 0x7777, QFile::Permissions(0x7700))
            << path.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    EXPECT_TRUE(log.storeErrors().isEmpty());
}

TEST_F(ConnectionStoreTest, SavesAfterEveryChangeCleansUpAfterDeletesAndReloadsTheSame) {
    auto store = open();
    Connection mac = computer(u"Mac"_s);
    const Connection pc = computer(u"PC"_s);
    store->upsert(mac);
    store->upsert(pc);
    mac.name = u"Mac Studio"_s;
    store->upsert(mac);
    EXPECT_EQ(names(store->connections()), (QStringList{u"Mac Studio"_s, u"PC"_s}));
    expectSaved(*store);

    const QUuid work = store->addGroup(u"  Work "_s).id;
    store->addGroup(u"  Work "_s);  // names are kept as typed and need not be unique
    store->move({mac.id, QUuid::createUuid()}, work);
    EXPECT_EQ(store->connection(mac.id)->groupID, work);
    EXPECT_FALSE(store->connection(pc.id)->groupID);
    expectSaved(*store);
    store->renameGroup(work, u"Office"_s);
    store->markConnected(pc.id);
    EXPECT_TRUE(store->connection(pc.id)->lastConnectedAt);
    expectSaved(*store);
    store->deleteGroup(work);
    EXPECT_EQ(store->groups().size(), 1);
    EXPECT_FALSE(store->connection(mac.id)->groupID);
    expectSaved(*store);
    // Deleting cleans passwords and thumbnails of every id given, saved or not.
    const Connection nearby = Connection::fromNearbyService(u"Nearby"_s);
    store->registerTransient(nearby);
    const QUuid unknown = QUuid::createUuid();
    leaveTraces(*store, {mac.id, pc.id, unknown});
    store->deleteConnections({pc.id, unknown, nearby.id});
    EXPECT_TRUE(store->transient().contains(nearby.id));
    EXPECT_EQ(keychain_.waitForDone().passwords.keys(), QList<QUuid>{mac.id});
    EXPECT_TRUE(keychain_.memory->deleted.contains(nearby.id));
    for (const QUuid& id : {mac.id, pc.id, unknown}) {
        EXPECT_EQ(QFileInfo::exists(store->thumbnailPath(id)), id == mac.id);
    }
    expectSaved(*store);

    const QByteArray saved = readAll(libraryFile());
    store = open();
    EXPECT_EQ(names(store->connections()), QStringList{u"Mac Studio"_s});
    EXPECT_EQ(encodeLibrary(Library{store->connections(), store->groups()}), saved);
}

TEST_F(ConnectionStoreTest, TransientComputersAreNeverWritten) {
    auto store = open();
    store->upsert(computer(u"Saved"_s));
    const Connection nearby = Connection::fromNearbyService(u"Living Room"_s);
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
    store->upsert(*store->connection(nearby.id));
    EXPECT_TRUE(store->isSaved(nearby.id));
    EXPECT_TRUE(store->transient().isEmpty());
    expectSaved(*store);
    store->registerTransient(Connection::fromNearbyService(u"Kitchen"_s));
    store = open();
    EXPECT_TRUE(store->transient().isEmpty());
    EXPECT_EQ(store->connections().size(), 2);
}

TEST_F(ConnectionStoreTest, RecentsAreTheTwelveNewestConnected) {
    // Out of library order, ties kept in library order, every fifth never connected.
    Library library;
    for (int i = 0; i < 18; ++i) {
        library.connections.push_back(computer(u"C%1"_s.arg(i)));
        if (i % 5 != 0) {
            library.connections.back().lastConnectedAt = utc(2025, 1, 1, 0, (i * 7) % 15 / 2);
        }
    }
    ASSERT_TRUE(testing::writeAll(libraryFile(), encodeLibrary(library)));
    auto store = open();
    EXPECT_EQ(names(store->recents()).join(u' '), u"C2 C17 C4 C6 C8 C12 C14 C1 C3 C16 C7 C9"_s);
    store->markConnected(library.connections[11].id);
    EXPECT_EQ(names(store->recents()).join(u' '), u"C11 C2 C17 C4 C6 C8 C12 C14 C1 C3 C16 C7"_s);
}

TEST_F(ConnectionStoreTest, LinksMatchHostIgnoringCaseAndUserNameWhenGivenAndClearAlone) {
    auto store = open();
    Connection imac = computer(u"iMac"_s);
    imac.username = u"anna"_s;
    store->upsert(imac);
    const auto linked = [&](const char* link) {
        return store->connectionFor(rfb::VNCAddress::parse(link));
    };
    EXPECT_EQ(linked("IMAC.local").id, imac.id);
    EXPECT_EQ(linked("vnc://anna@imac.LOCAL").id, imac.id);
    const Connection otherUser = linked("vnc://ben@imac.local");
    EXPECT_EQ(otherUser.origin, ConnectionOrigin::link);
    EXPECT_EQ(otherUser.name + u' ' + otherUser.username, u"imac.local ben"_s);
    EXPECT_EQ(linked("imac.local:1").port, 5901);
    EXPECT_EQ(store->connections().size(), 3);
    // A link made once is found again, and the password of a link never reaches the file.
    EXPECT_EQ(linked("vnc://ben:pw@imac.local").id, otherUser.id);
    EXPECT_FALSE(readAll(libraryFile()).contains("\"pw\""));
    expectSaved(*store);

    leaveTraces(*store, {otherUser.id, imac.id});
    store->clearLinks();
    EXPECT_EQ(names(store->connections()), QStringList{u"iMac"_s});
    EXPECT_EQ(keychain_.waitForDone().passwords.keys(), QList<QUuid>{imac.id});
    EXPECT_FALSE(QFileInfo::exists(store->thumbnailPath(otherUser.id)));
    expectSaved(*store);
}

// Export takes saved computers and only the groups they use; import gives each a new identity,
// saved and never connected, in the group of the same name, made when missing.
TEST_F(ConnectionStoreTest, ExportedComputersImportIntoAnotherLibraryAsFreshOnes) {
    auto source = open();
    source->addGroup(u"Empty"_s);
    const ConnectionGroup work = source->addGroup(u"Work"_s), lower = source->addGroup(u"work"_s);
    Connection full = testing::fullySetConnection();
    full.groupID = work.id;
    const Connection inLower = computer(u"Lower"_s, lower.id);
    for (const Connection& connection :
         {full, inLower, computer(u"Orphan"_s, QUuid::createUuid())}) {
        source->upsert(connection);
    }
    source->registerTransient(computer(u"Transient"_s));
    const QByteArray everything = source->exportData();
    EXPECT_EQ(decodeLibrary(everything), (Library{source->connections(), {work, lower}}));
    const Library selection =
        decodeLibrary(source->exportData(QSet{inLower.id, full.id, QUuid::createUuid()}));
    EXPECT_EQ(names(selection.connections), (QStringList{full.name, u"Lower"_s}));
    EXPECT_EQ(selection.groups, (QList<ConnectionGroup>{work, lower}));

    ConnectionStore target(keychain_, scratch_.path() + u"/other"_s);
    const QUuid targetWork = target.addGroup(u"Work"_s).id;
    target.upsert(computer(u"Existing"_s));
    QSignalSpy connectionsChanged(&target, &ConnectionStore::connectionsChanged);
    EXPECT_EQ(target.importData(everything), 3);
    EXPECT_EQ(connectionsChanged.count(), 1);
    ASSERT_EQ(target.groups().size(), 2);
    EXPECT_EQ(target.groups()[1].name, u"work"_s);
    EXPECT_NE(target.groups()[1].id, lower.id);
    ASSERT_EQ(target.connections().size(), 4);
    Connection expected = full;
    expected.id = target.connections()[1].id;
    expected.groupID = targetWork;
    expected.lastConnectedAt.reset();
    expected.origin = ConnectionOrigin::saved;
    EXPECT_NE(expected.id, full.id);
    EXPECT_EQ(target.connections()[1], expected);
    EXPECT_EQ(target.connections()[2].groupID, target.groups()[1].id);
    EXPECT_FALSE(target.connections()[3].groupID);
    expectSaved(target);
    // A second import adds the computers again but no groups.
    EXPECT_EQ(target.importData(everything), 3);
    EXPECT_EQ(target.connections().size(), 7);
    EXPECT_EQ(target.groups().size(), 2);
}

// In a folder that cannot be written, saves fail and are logged while memory keeps every
// change, and a damaged library that cannot be moved aside is never overwritten.
TEST_F(ConnectionStoreTest, AnUnwritableFolderLosesNothing) {
    auto store = open();
    store->upsert(computer(u"Before"_s));
    const QByteArray before = readAll(libraryFile());
    // Root ignores permissions but not the immutable attribute, which also pins the permissions.
    const auto setWritable = [path = QFile::encodeName(folder())](bool on) {
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
            flags = on ? flags & ~FS_IMMUTABLE_FL : flags | FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
        ::chmod(path.constData(), on ? 0700 : 0500);
    };
    setWritable(false);
    const auto restore = qScopeGuard([&] { setWritable(true); });
    if (testing::writeAll(folder() + u"/probe"_s, {})) {
        GTEST_SKIP() << "cannot make a folder unwritable here";
    }
    testing::LogCapture log;
    store->upsert(computer(u"After"_s));
    EXPECT_EQ(names(store->connections()), (QStringList{u"Before"_s, u"After"_s}));
    EXPECT_EQ(readAll(libraryFile()), before);

    const QByteArray bad = "{ \"version\" : 1, \"connections\" : [ {} ], \"groups\" : [] }";
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    store = open();
    EXPECT_TRUE(copies().isEmpty());
    store->addGroup(u"While stuck"_s);
    EXPECT_EQ(readAll(libraryFile()), bad);
    // Once the folder can be written, the file is moved aside first, then the library saved.
    setWritable(true);
    store->addGroup(u"Later"_s);
    ASSERT_EQ(copies().size(), 1);
    EXPECT_EQ(firstCopy(), bad);
    expectSaved(*store);
    EXPECT_EQ(log.storeErrors(),
              (QStringList{u"Couldn't save library"_s, u"Couldn't read library"_s,
                           u"Couldn't save library"_s}));
}

// Transparent along the left edge.
QImage gradient(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgba(x % 256, y % 256, 128, x < 10 ? 0 : 255));
        }
    }
    return image;
}

// Scaled to at most 640 wide over black; nothing for unsaved, deleted or empty images, and the
// folder made again when missing. Only written images count as revisions.
TEST_F(ConnectionStoreTest, ThumbnailsAreScaledPngsOfSavedComputers) {
    auto store = open();
    const Connection wide = computer(u"Wide"_s), small = computer(u"Small"_s),
                     doomed = computer(u"Doomed"_s), blank = computer(u"Blank"_s);
    for (const Connection& connection : {wide, small, doomed, blank}) {
        store->upsert(connection);
    }
    const Connection nearby = Connection::fromNearbyService(u"Nearby"_s);
    store->registerTransient(nearby);
    QDir(folder() + u"/Thumbnails"_s).removeRecursively();
    QSignalSpy revisions(store.get(), &ConnectionStore::thumbnailRevisionChanged);
    store->saveThumbnail(gradient(100, 100), nearby.id);
    store->saveThumbnail(QImage(), blank.id);
    store->saveThumbnail(gradient(2000, 1500), doomed.id);
    store->saveThumbnail(gradient(1280, 720), wide.id);
    store->saveThumbnail(gradient(300, 200), small.id);
    store->deleteConnections({doomed.id});
    ASSERT_TRUE(store->waitForThumbnails(10'000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return store->thumbnailRevision() >= 3; }, 10'000));
    QTest::qWait(50);
    EXPECT_EQ(store->thumbnailRevision(), 3);
    EXPECT_EQ(revisions.count(), 3);

    EXPECT_EQ(QDir(folder() + u"/Thumbnails"_s).entryList(QDir::Files | QDir::Hidden).size(), 2);
    // Named as the library file names the computer, so that other versions find them.
    EXPECT_EQ(QFileInfo(store->thumbnailPath(wide.id)).fileName(),
              wide.id.toString(QUuid::WithoutBraces).toUpper() + u".png"_s);
    const QImage wideThumbnail(store->thumbnailPath(wide.id), "PNG");
    EXPECT_EQ(wideThumbnail.size(), QSize(640, 360));
    EXPECT_FALSE(wideThumbnail.hasAlphaChannel());
    const QImage smallThumbnail(store->thumbnailPath(small.id), "PNG");
    EXPECT_EQ(smallThumbnail.size(), QSize(300, 200));
    EXPECT_EQ(smallThumbnail.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(smallThumbnail.pixel(100, 50), qRgb(100, 50, 128));
    EXPECT_EQ(QImage::fromData(thumbnailPng(gradient(6400, 5)).value_or(QByteArray())).size(),
              QSize(640, 1));
}

// --- Damaged or hostile library files, and saves cut short: nothing the user had may be lost.

struct BadFile {
    const char* name;
    std::function<QByteArray()> bytes;
};

// A damaged record fails the whole file the same way, whichever it is (see LibraryFileTests).
const BadFile badFiles[] = {
    {"Truncated", [] { return encodeLibrary(sampleLibrary(50)).left(2000); }},
    {"Binary", [] { return qCompress(encodeLibrary(sampleLibrary(50))); }},
    {"InvalidUtf8InAName",
     [] { return encodeLibrary(sampleLibrary(2)).replace("Computer 1", "Comput\xff\xfe 1"); }},
    {"DeeplyNested",
     [] {
         return "{\"version\":1,\"groups\":[],\"connections\":" + QByteArray(1'000'000, '[') +
                QByteArray(1'000'000, ']') + "}";
     }},
    {"HundredMegabyteName",
     [] {
         return encodeLibrary(sampleLibrary(1)).replace("Computer 0", QByteArray(100 << 20, 'x'));
     }},
    {"EmptyFile", [] { return QByteArray(); }},
    {"NotAnObject", [] { return QByteArray("[]"); }},
    {"TextAfterTheObject", [] { return encodeLibrary({}) + " trailing"; }},
};

class BadLibraryFile : public ConnectionStoreTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadLibraryFile, IsMovedAsideIntactAndNeverImported) {
    const QByteArray bad = GetParam().bytes();
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    const QString thumbnail = folder() + u"/Thumbnails/KEEP.png"_s;
    ASSERT_TRUE(testing::writeAll(thumbnail, "preview"));

    testing::LogCapture log;
    auto store = open();
    EXPECT_TRUE(store->connections().isEmpty() && store->groups().isEmpty());
    EXPECT_EQ(log.storeErrors(), QStringList{u"Couldn't read library"_s});
    ASSERT_EQ(copies().size(), 1);
    EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    EXPECT_EQ(readAll(thumbnail), "preview");

    // The next change writes a fresh file beside the kept copy, and an import of the same bytes
    // changes neither.
    store->upsert(computer(u"New"_s));
    store->addGroup(u"New"_s);
    const QByteArray saved = readAll(libraryFile());
    QSignalSpy connectionsChanged(store.get(), &ConnectionStore::connectionsChanged);
    QSignalSpy groupsChanged(store.get(), &ConnectionStore::groupsChanged);
    EXPECT_THROW(store->importData(bad), LibraryError);
    EXPECT_EQ(connectionsChanged.count() + groupsChanged.count(), 0);
    EXPECT_EQ(readAll(libraryFile()), saved);
    expectSaved(*store);
    EXPECT_TRUE(firstCopy() == bad) << "moved copy differs";
}

INSTANTIATE_TEST_SUITE_P(Files, BadLibraryFile, ::testing::ValuesIn(badFiles),
                         [](const auto& param) { return std::string(param.param.name); });

// Copies made within one second would share a name: none may be lost, and a pipe must not hang.
TEST_F(ConnectionStoreTest, BadStartsInOneSecondKeepEveryCopyOfAFileFolderOrPipe) {
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(testing::writeAll(libraryFile(), "damaged " + QByteArray::number(i)));
        open();
    }
    ASSERT_TRUE(testing::writeAll(libraryFile() + u"/inside"_s, "kept"));
    open();
    ASSERT_EQ(::mkfifo(QFile::encodeName(libraryFile()).constData(), 0600), 0);
    auto store = open();
    EXPECT_FALSE(QFileInfo(libraryFile()).exists());
    QList<QByteArray> contents;
    for (const QString& entry : copies()) {
        const QFileInfo copy(folder() + u'/' + entry);
        contents.push_back(copy.isDir()    ? readAll(copy.filePath() + u"/inside"_s)
                           : copy.isFile() ? readAll(copy.filePath())
                                           : "pipe");
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (QList<QByteArray>{"damaged 0", "damaged 1", "kept", "pipe"}));
    store->addGroup(u"Works again"_s);
    expectSaved(*store);
}

// Killed at random, a child saving over and over leaves the last library saved or the next one.
TEST_F(ConnectionStoreTest, InterruptedSavesNeverLeaveAPartialLibraryFile) {
    ASSERT_TRUE(testing::writeAll(libraryFile(), encodeLibrary(sampleLibrary(8000))));
    QRandomGenerator generator(7);
    int killedMidSave = 0;
    for (int round = 0; round < 12; ++round) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--save-forever"_s, folder()});
        ASSERT_TRUE(child.waitForReadyRead(30'000)) << "child did not start";
        const qsizetype initial = child.readLine().trimmed().mid(6).toLongLong();
        QThread::msleep(generator.bounded(5, 120));
        child.kill();
        ASSERT_TRUE(child.waitForFinished(30'000));
        const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
        const qsizetype saved = lines.count("saved");
        const bool interrupted = lines.back() == "saving";
        killedMidSave += interrupted ? 1 : 0;
        const qsizetype count = decodeLibrary(readAll(libraryFile())).connections.size();
        EXPECT_TRUE(count == initial + saved || (interrupted && count == initial + saved + 1))
            << "round " << round << ": " << count << " computers after " << saved << " saves from "
            << initial;
        EXPECT_TRUE(copies().isEmpty()) << "round " << round;
    }
    // With saves taking most of the child's time, some kill practically always lands in one.
    EXPECT_GT(killedMidSave, 0);
}

// --- Trusted identities, in the same folder.

using Kind = rfb::RFBIdentity::Kind;
const rfb::RFBIdentity certificate{
    Kind::certificate, {0x30, 0x82, 0x01, 0xFF, 0x00}, {rfb::RFBTrustProblem::selfSigned}};
const rfb::RFBIdentity key{Kind::rsaKey, {0, 0, 8, 0, 0xC5, 0x01, 0x00, 0x01}, {}};

const QByteArray valid = R"({"identities": [{"server": "a:1", "kind": "rsaKey", "data": "AAE=",
                             "trustedAt": "2026-01-02T03:04:05Z"}]})";

class IdentityStoreTest : public ConnectionStoreTest {
  protected:
    QString path() const { return folder() + u"/Identities.json"_s; }
    auto openIdentities() const { return std::make_unique<IdentityStore>(folder()); }
};

// The whole identity, less its problems, one per server, read back by the next start; the file
// also shows the fingerprint as the server side does.
TEST_F(IdentityStoreTest, RemembersWholeIdentitiesAcrossStartsAndForgetsThem) {
    open();
    ASSERT_TRUE(testing::writeAll(path(), valid));
    auto store = openIdentities();
    EXPECT_EQ(store->identity(u"a:1"_s), (rfb::RFBIdentity{Kind::rsaKey, {0, 1}, {}}));
    store->forget(u"a:1"_s);
    store->trust(u"studio.local:5900"_s, key);
    store->trust(u"[::1]:5901"_s, key);
    store->trust(u"[::1]:5901"_s, certificate);  // replaces the key
    EXPECT_EQ(store->identity(u"[::1]:5901"_s),
              (rfb::RFBIdentity{Kind::certificate, certificate.data, {}}));
    const QByteArray file = readAll(path());
    for (const std::string& text : {certificate.fingerprint(), std::string(R"("MIIB\/wA=")"),
                                    std::string(R"("certificate")"), std::string(R"("rsaKey")")}) {
        EXPECT_TRUE(file.contains(text.c_str())) << text;
    }

    const QList<TrustedIdentity> before = store->identities();
    store = openIdentities();
    EXPECT_EQ(store->identities(), before);
    store->forget(u"studio.local:5900"_s);
    EXPECT_EQ(openIdentities()->identities(), before.mid(0, 1));
}

TEST(IdentityStore, ServersAreKeyedAsTheSessionReachesThem) {
    const auto keyOf = [](const char* address) {
        return IdentityStore::serverKey(
            Connection::fromAddress(rfb::VNCAddress::parse(address), ConnectionOrigin::saved));
    };
    EXPECT_EQ(keyOf("Studio.Local"), u"studio.local:5900"_s);
    EXPECT_EQ(keyOf("studio.local:1"), u"studio.local:5901"_s);
    EXPECT_EQ(keyOf("[FE80::1]:5900"), u"[fe80::1]:5900"_s);
    // A computer with a service is reached through it, whatever host it also has.
    Connection nearby = Connection::fromNearbyService(u"Studio"_s);
    nearby.host = u"studio.local"_s;
    EXPECT_EQ(IdentityStore::serverKey(nearby), u"Studio (Bonjour)"_s);
}

struct DamagedFile {
    const char* name;
    QByteArray bytes;
    const char* reason;
};

class DamagedIdentityFile : public IdentityStoreTest,
                            public ::testing::WithParamInterface<DamagedFile> {};

// Moved aside whole and reported, never mixed with the library; the store starts empty.
TEST_P(DamagedIdentityFile, IsMovedAsideAndReportedAndTheLibraryKeepsItsFile) {
    open()->addGroup(u"Work"_s);
    const QByteArray library = readAll(libraryFile());
    ASSERT_TRUE(testing::writeAll(path(), GetParam().bytes));

    testing::LogCapture log;
    const auto store = openIdentities();
    EXPECT_TRUE(store->identities().isEmpty());
    EXPECT_EQ(log.storeErrors(), QStringList{u"Couldn't read trusted identities"_s});
    ASSERT_TRUE(store->unreadableFile());
    EXPECT_TRUE(store->unreadableFile()->reason.contains(QLatin1StringView(GetParam().reason)))
        << store->unreadableFile()->reason.toStdString();
    const QStringList moved = QDir(folder()).entryList({u"Identities-unreadable-*.json"_s});
    EXPECT_EQ(store->unreadableFile()->movedTo, moved.value(0));
    EXPECT_EQ(readAll(folder() + u'/' + moved.value(0)), GetParam().bytes);
    EXPECT_EQ(readAll(libraryFile()), library);
}

const DamagedFile damagedFiles[] = {
    {"Truncated", valid.left(40), "not valid JSON"},
    {"EntryNotAnObject", R"({"identities": [3]})", "identities[0]"},
    {"UnknownKind", QByteArray(valid).replace("rsaKey", "pgpKey"), "kind"},
    {"DataNotBase64", QByteArray(valid).replace("AAE=", "A*E="), "data"},
    {"DateWithAnOffset", QByteArray(valid).replace("05Z", "05+01:00"), "trustedAt"},
};

INSTANTIATE_TEST_SUITE_P(Files, DamagedIdentityFile, ::testing::ValuesIn(damagedFiles),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tessaral
