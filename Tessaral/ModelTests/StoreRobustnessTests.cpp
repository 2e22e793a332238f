// Damaged or hostile library files, and saves cut short: nothing the user had may be lost.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using testing::entries;
using testing::readAll;

Library sampleLibrary(int count) {
    Library library;
    library.groups.push_back({QUuid::createUuid(), u"Group"_s});
    for (int i = 0; i < count; ++i) {
        Connection connection;
        connection.name = u"Computer %1"_s.arg(i);
        connection.host = u"host-%1.example.org"_s.arg(i);
        connection.groupID = library.groups[0].id;
        library.connections.push_back(connection);
    }
    return library;
}

QStringList unreadableCopies(const QString& folder) {
    return QDir(folder).entryList({u"Library-unreadable-*.json"_s},
                                  QDir::Files | QDir::Dirs | QDir::System);
}

struct BadFile {
    const char* name;
    std::function<QByteArray()> bytes;
};

void PrintTo(const BadFile& file, std::ostream* out) {
    *out << file.name;
}

std::vector<BadFile> badFiles() {
    return {
        {"MissingSymbol",
         [] {
             QByteArray bytes = encodeLibrary(sampleLibrary(3));
             return bytes.replace("\"symbol\" : \"desktopcomputer\",", "");
         }},
        {"Truncated",
         [] {
             const QByteArray bytes = encodeLibrary(sampleLibrary(50));
             return bytes.left(bytes.size() / 2);
         }},
        {"Binary",
         [] {
             QByteArray bytes(64 * 1024, Qt::Uninitialized);
             QRandomGenerator generator(42);
             for (char& byte : bytes) {
                 byte = static_cast<char>(generator.bounded(256));
             }
             return bytes;
         }},
        {"InvalidUtf8InAName",
         [] {
             QByteArray bytes = encodeLibrary(sampleLibrary(2));
             return bytes.replace("Computer 1", "Comput\xff\xfe 1");
         }},
        {"DeeplyNested",
         [] {
             return "{\"version\":1,\"groups\":[],\"connections\":" + QByteArray(1'000'000, '[') +
                    QByteArray(1'000'000, ']') + "}";
         }},
        {"HundredMegabytes",
         [] {
             // Well-formed as far as it goes: one enormous name.
             QByteArray bytes = encodeLibrary(sampleLibrary(1));
             const qsizetype at = bytes.indexOf("Computer 0");
             bytes.insert(at, QByteArray(100 * 1024 * 1024, 'x'));
             return bytes;
         }},
        {"EmptyFile", [] { return QByteArray(); }},
    };
}

class UnreadableLibraryTest : public ::testing::Test {
  protected:
    QString folder() const { return scratch_.path(); }
    QString libraryFile() const { return scratch_.path() + u"/Library.json"_s; }

    QTemporaryDir scratch_;
    testing::FakeKeychain keychain_;
};

class BadLibraryFile : public UnreadableLibraryTest,
                       public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadLibraryFile, IsMovedAsideIntactAndTheLibraryStartsEmpty) {
    const QByteArray bad = GetParam().bytes();
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    QDir().mkpath(folder() + u"/Thumbnails"_s);
    const QString thumbnail = folder() + u"/Thumbnails/KEEP.png"_s;
    ASSERT_TRUE(testing::writeAll(thumbnail, "preview"));

    testing::LogCapture log;
    auto store = std::make_unique<ConnectionStore>(keychain_, folder());
    EXPECT_TRUE(store->connections().isEmpty());
    EXPECT_TRUE(store->groups().isEmpty());
    ASSERT_EQ(log.storeErrors().size(), 1);
    EXPECT_TRUE(log.storeErrors()[0].startsWith(u"Couldn't read library: "_s));

    const QStringList copies = unreadableCopies(folder());
    ASSERT_EQ(copies.size(), 1);
    EXPECT_TRUE(
        QRegularExpression(u"^Library-unreadable-[0-9]+\\.json$"_s).match(copies[0]).hasMatch())
        << copies[0].toStdString();
    const qint64 stamp = copies[0].mid(19).chopped(5).toLongLong();
    EXPECT_LE(std::abs(stamp - QDateTime::currentSecsSinceEpoch()), 5);
    EXPECT_TRUE(readAll(folder() + u'/' + copies[0]) == bad) << "moved copy differs";
    EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    EXPECT_EQ(readAll(thumbnail), "preview");

    // The next change writes a fresh file beside the kept copy.
    store->addGroup(u"New"_s);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 1);
    EXPECT_TRUE(readAll(folder() + u'/' + copies[0]) == bad);
}

TEST_P(BadLibraryFile, ImportChangesNothingAndReportsTheError) {
    auto store = std::make_unique<ConnectionStore>(keychain_, folder());
    store->upsert(Connection::fromNearbyService(u"Existing"_s));
    store->addGroup(u"Group"_s);
    const QList<Connection> connections = store->connections();
    const QList<ConnectionGroup> groups = store->groups();
    const QByteArray file = readAll(libraryFile());
    QSignalSpy connectionsChanged(store.get(), &ConnectionStore::connectionsChanged);
    QSignalSpy groupsChanged(store.get(), &ConnectionStore::groupsChanged);

    try {
        store->importData(GetParam().bytes());
        FAIL() << "import succeeded";
    } catch (const LibraryError& error) {
        EXPECT_FALSE(error.description().isEmpty());
    }
    EXPECT_EQ(store->connections(), connections);
    EXPECT_EQ(store->groups(), groups);
    EXPECT_EQ(readAll(libraryFile()), file);
    EXPECT_EQ(connectionsChanged.count() + groupsChanged.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, BadLibraryFile, ::testing::ValuesIn(badFiles()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(UnreadableLibraryTest, RepeatedBadStartsKeepEveryCopy) {
    // Within one second the copies would share a name; none may be overwritten or left in place.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(testing::writeAll(libraryFile(), "damaged " + QByteArray::number(i)));
        ConnectionStore store(keychain_, folder());
        EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    }
    QStringList contents;
    for (const QString& copy : unreadableCopies(folder())) {
        contents.push_back(QString::fromUtf8(readAll(folder() + u'/' + copy)));
    }
    contents.sort();
    EXPECT_EQ(contents, (QStringList{u"damaged 0"_s, u"damaged 1"_s, u"damaged 2"_s}));
}

TEST_F(UnreadableLibraryTest, AFolderInPlaceOfTheFileIsMovedAsideNotReplaced) {
    ASSERT_TRUE(QDir().mkpath(libraryFile()));
    ASSERT_TRUE(testing::writeAll(libraryFile() + u"/inside"_s, "kept"));
    testing::LogCapture log;
    ConnectionStore store(keychain_, folder());
    EXPECT_EQ(log.storeErrors().size(), 1);
    const QStringList copies = unreadableCopies(folder());
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(readAll(folder() + u'/' + copies[0] + u"/inside"_s), "kept");
    store.addGroup(u"Works again"_s);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 1);
}

TEST_F(UnreadableLibraryTest, APipeInPlaceOfTheFileDoesNotHangTheStart) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(libraryFile()).constData(), 0600), 0);
    ConnectionStore store(keychain_, folder());
    EXPECT_EQ(unreadableCopies(folder()).size(), 1);
    EXPECT_FALSE(QFileInfo(libraryFile()).exists());
}

TEST_F(UnreadableLibraryTest, AFileThatCannotBeMovedAsideIsNeverOverwritten) {
    const QByteArray bad = "{ \"version\" : 1, \"connections\" : [ {} ], \"groups\" : [] }";
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    testing::UnwritableFolder unwritable(folder());
    if (!unwritable.active()) {
        GTEST_SKIP() << "cannot make a folder unwritable here";
    }
    testing::LogCapture log;
    ConnectionStore store(keychain_, folder());
    EXPECT_TRUE(unreadableCopies(folder()).isEmpty());
    store.addGroup(u"While stuck"_s);
    EXPECT_EQ(readAll(libraryFile()), bad);

    // Once the folder can be written, the file is moved aside first, then the library saved.
    unwritable.release();
    store.addGroup(u"Later"_s);
    const QStringList copies = unreadableCopies(folder());
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(readAll(folder() + u'/' + copies[0]), bad);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 2);
    const QStringList errors = log.storeErrors();
    ASSERT_GE(errors.size(), 2);
    EXPECT_TRUE(errors[0].startsWith(u"Couldn't read library: "_s));
    EXPECT_TRUE(errors[1].startsWith(u"Couldn't save library: "_s));
}

// A child process saves a large library over and over and is killed at random moments. Every
// time, Library.json must be a whole library: the last one saved, or at most the one whose save
// was under way, never a partial write.
TEST(InterruptedSave, NeverLeavesAPartialLibraryFile) {
    QTemporaryDir scratch;
    const QString libraryFile = scratch.path() + u"/Library.json"_s;
    ASSERT_TRUE(testing::writeAll(libraryFile, encodeLibrary(sampleLibrary(8000))));
    QRandomGenerator generator(7);

    int killedMidSave = 0;
    for (int round = 0; round < 12; ++round) {
        QProcess child;
        child.setProgram(testing::testExecutable());
        child.setArguments({u"--save-forever"_s, scratch.path()});
        child.start();
        ASSERT_TRUE(child.waitForReadyRead(30'000)) << "child did not start";
        const QByteArray ready = child.readLine().trimmed();
        ASSERT_TRUE(ready.startsWith("ready ")) << ready.toStdString();
        const qsizetype initial = ready.mid(6).toLongLong();
        QThread::msleep(generator.bounded(5, 120));
        child.kill();
        ASSERT_TRUE(child.waitForFinished(30'000));

        const QList<QByteArray> lines = child.readAllStandardOutput().trimmed().split('\n');
        const qsizetype saved = lines.count("saved");
        const bool interrupted = lines.back() == "saving";
        killedMidSave += interrupted ? 1 : 0;

        Library library;
        ASSERT_NO_THROW(library = decodeLibrary(readAll(libraryFile))) << "round " << round;
        const qsizetype count = library.connections.size();
        EXPECT_TRUE(count == initial + saved || (interrupted && count == initial + saved + 1))
            << "round " << round << ": " << count << " computers after " << saved << " saves from "
            << initial;
        // A killed save may leave its temporary file, but never anything named Library.json.
        for (const QString& entry : entries(scratch.path())) {
            if (entry != u"Library.json"_s && entry != u"Thumbnails"_s) {
                EXPECT_FALSE(entry.startsWith(u"Library-unreadable"_s));
                QFile::remove(scratch.path() + u'/' + entry);
            }
        }
    }
    // The kills did land inside saves; with saves taking most of the child's time this
    // practically always happens.
    EXPECT_GT(killedMidSave, 0);
}

}  // namespace
}  // namespace tessaral
