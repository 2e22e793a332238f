// Damaged or hostile library files, and saves cut short: nothing the user had may be lost.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
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

struct BadFile {
    const char* name;
    std::function<QByteArray()> bytes;
};

void PrintTo(const BadFile& file, std::ostream* out) {
    *out << file.name;
}

const BadFile badFiles[] = {
    {"MissingSymbol",
     [] {
         return encodeLibrary(sampleLibrary(3)).replace("\"symbol\" : \"desktopcomputer\",", "");
     }},
    {"Truncated", [] { return encodeLibrary(sampleLibrary(50)).left(2000); }},
    {"Binary",
     [] {
         QByteArray bytes(64 * 1024, Qt::Uninitialized);
         QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
         return bytes;
     }},
    {"InvalidUtf8InAName",
     [] { return encodeLibrary(sampleLibrary(2)).replace("Computer 1", "Comput\xff\xfe 1"); }},
    {"DeeplyNested",
     [] {
         return "{\"version\":1,\"groups\":[],\"connections\":" + QByteArray(1'000'000, '[') +
                QByteArray(1'000'000, ']') + "}";
     }},
    {"HundredMegabytes",  // well-formed as far as it goes: one enormous name
     [] {
         return encodeLibrary(sampleLibrary(1))
             .replace("Computer 0", QByteArray(100 * 1024 * 1024, 'x'));
     }},
    {"EmptyFile", [] { return QByteArray(); }},
};

class UnreadableLibraryTest : public ::testing::Test {
  protected:
    QString libraryFile() const { return folder_.filePath(u"Library.json"_s); }
    QStringList copies() const {
        return QDir(folder_.path())
            .entryList({u"Library-unreadable-*.json"_s}, QDir::Files | QDir::Dirs | QDir::System);
    }
    QByteArray copy(int index) const { return readAll(folder_.filePath(copies().value(index))); }

    QTemporaryDir folder_;
    testing::FakeKeychain keychain_;
};

class BadLibraryFile : public UnreadableLibraryTest,
                       public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadLibraryFile, IsMovedAsideIntactAndTheLibraryStartsEmpty) {
    const QByteArray bad = GetParam().bytes();
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    QDir(folder_.path()).mkdir(u"Thumbnails"_s);
    const QString thumbnail = folder_.filePath(u"Thumbnails/KEEP.png"_s);
    ASSERT_TRUE(testing::writeAll(thumbnail, "preview"));

    testing::LogCapture log;
    ConnectionStore store(keychain_, folder_.path());
    EXPECT_TRUE(store.connections().isEmpty());
    EXPECT_TRUE(store.groups().isEmpty());
    ASSERT_EQ(log.storeErrors().size(), 1);
    EXPECT_TRUE(log.storeErrors()[0].startsWith(u"Couldn't read library: "_s));
    ASSERT_EQ(copies().size(), 1);
    const QRegularExpressionMatch stamp =
        QRegularExpression(u"^Library-unreadable-([0-9]+)\\.json$"_s).match(copies()[0]);
    ASSERT_TRUE(stamp.hasMatch()) << copies()[0].toStdString();
    EXPECT_LE(std::abs(stamp.captured(1).toLongLong() - QDateTime::currentSecsSinceEpoch()), 5);
    EXPECT_TRUE(copy(0) == bad) << "moved copy differs";
    EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    EXPECT_EQ(readAll(thumbnail), "preview");

    // The next change writes a fresh file beside the kept copy.
    store.addGroup(u"New"_s);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 1);
    EXPECT_TRUE(copy(0) == bad);
}

TEST_P(BadLibraryFile, ImportChangesNothingAndReportsTheError) {
    ConnectionStore store(keychain_, folder_.path());
    store.upsert(Connection::fromNearbyService(u"Existing"_s));
    store.addGroup(u"Group"_s);
    const Library before{store.connections(), store.groups()};
    const QByteArray file = readAll(libraryFile());
    QSignalSpy connectionsChanged(&store, &ConnectionStore::connectionsChanged);
    QSignalSpy groupsChanged(&store, &ConnectionStore::groupsChanged);

    EXPECT_THROW(store.importData(GetParam().bytes()), LibraryError);
    EXPECT_EQ((Library{store.connections(), store.groups()}), before);
    EXPECT_EQ(readAll(libraryFile()), file);
    EXPECT_EQ(connectionsChanged.count() + groupsChanged.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, BadLibraryFile, ::testing::ValuesIn(badFiles),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(UnreadableLibraryTest, RepeatedBadStartsKeepEveryCopy) {
    // Within one second the copies would share a name; none may be overwritten or left in place.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(testing::writeAll(libraryFile(), "damaged " + QByteArray::number(i)));
        ConnectionStore store(keychain_, folder_.path());
        EXPECT_FALSE(QFileInfo::exists(libraryFile()));
    }
    QList<QByteArray> contents{copy(0), copy(1), copy(2)};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (QList<QByteArray>{"damaged 0", "damaged 1", "damaged 2"}));
}

TEST_F(UnreadableLibraryTest, AFolderOrPipeInPlaceOfTheFileIsMovedAsideNotReplaced) {
    ASSERT_TRUE(QDir().mkpath(libraryFile()));
    ASSERT_TRUE(testing::writeAll(libraryFile() + u"/inside"_s, "kept"));
    ConnectionStore store(keychain_, folder_.path());
    ASSERT_EQ(copies().size(), 1);
    EXPECT_EQ(readAll(folder_.filePath(copies()[0] + u"/inside"_s)), "kept");
    store.addGroup(u"Works again"_s);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 1);

    // A pipe must not hang the start.
    QFile::remove(libraryFile());
    ASSERT_EQ(::mkfifo(QFile::encodeName(libraryFile()).constData(), 0600), 0);
    ConnectionStore again(keychain_, folder_.path());
    EXPECT_EQ(copies().size(), 2);
    EXPECT_FALSE(QFileInfo(libraryFile()).exists());
}

TEST_F(UnreadableLibraryTest, AFileThatCannotBeMovedAsideIsNeverOverwritten) {
    const QByteArray bad = "{ \"version\" : 1, \"connections\" : [ {} ], \"groups\" : [] }";
    ASSERT_TRUE(testing::writeAll(libraryFile(), bad));
    testing::UnwritableFolder unwritable(folder_.path());
    if (!unwritable.active()) {
        GTEST_SKIP() << "cannot make a folder unwritable here";
    }
    testing::LogCapture log;
    ConnectionStore store(keychain_, folder_.path());
    EXPECT_TRUE(copies().isEmpty());
    store.addGroup(u"While stuck"_s);
    EXPECT_EQ(readAll(libraryFile()), bad);

    // Once the folder can be written, the file is moved aside first, then the library saved.
    unwritable.release();
    store.addGroup(u"Later"_s);
    ASSERT_EQ(copies().size(), 1);
    EXPECT_EQ(copy(0), bad);
    EXPECT_EQ(decodeLibrary(readAll(libraryFile())).groups.size(), 2);
    const QStringList errors = log.storeErrors();
    ASSERT_GE(errors.size(), 2);
    EXPECT_TRUE(errors[0].startsWith(u"Couldn't read library: "_s));
    EXPECT_TRUE(errors[1].startsWith(u"Couldn't save library: "_s));
}

// A child process saves a large library over and over and is killed at random moments. Every
// time, Library.json must be a whole library: the last one saved, or at most the one whose save
// was under way.
TEST(InterruptedSave, NeverLeavesAPartialLibraryFile) {
    QTemporaryDir scratch;
    const QString libraryFile = scratch.filePath(u"Library.json"_s);
    ASSERT_TRUE(testing::writeAll(libraryFile, encodeLibrary(sampleLibrary(8000))));
    QRandomGenerator generator(7);
    int killedMidSave = 0;
    for (int round = 0; round < 12; ++round) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {u"--save-forever"_s, scratch.path()});
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
        // A killed save may leave its temporary file, never a copy of an unreadable library.
        for (const QString& entry : QDir(scratch.path()).entryList(QDir::Files | QDir::Hidden)) {
            EXPECT_FALSE(entry.startsWith(u"Library-unreadable"_s));
            if (entry != u"Library.json"_s) {
                QFile::remove(scratch.filePath(entry));
            }
        }
    }
    // With saves taking most of the child's time, some kill practically always lands in one.
    EXPECT_GT(killedMidSave, 0);
}

}  // namespace
}  // namespace tessaral
