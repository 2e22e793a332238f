#include <gtest/gtest.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QTimer>
#include <thread>

#include "ClipboardSync.hpp"
#include "FakeServer.hpp"
#include "FrameImage.hpp"
#include "Model/SecretServiceKeychain.hpp"
#include "RealServers.hpp"
#include "SessionFixture.hpp"

namespace tessaral {
namespace {

using Kind = VNCSession::State::Kind;
using rfb::RFBCredentialKind;
using namespace rfbtest;

bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 60'000);
}

class VNCSessionTest : public ::testing::Test {
  protected:
    Connection computer(int port) {
        Connection connection;
        connection.name = QStringLiteral("Studio");
        connection.host = QStringLiteral("127.0.0.1");
        connection.port = port;
        store.upsert(connection);
        return connection;
    }

    QTemporaryDir folder;
    testing::TestKeychain<testing::GatedKeychain> keychain;
    ConnectionStore store{keychain, folder.path()};
    IdentityStore identities{folder.path()};
    testing::MemoryClipboard clipboard;
};

TEST(FrameImage, ScreenshotFileNamesAreNamesInUtc) {
    const QDateTime moment(QDate(2026, 12, 5), QTime(16, 12, 3), QTimeZone(3600));
    for (const auto& [name, expected] : std::vector<std::pair<QString, QString>>{
             {"Studio", "Studio 2026-12-05T151203.png"},
             {"../etc/passwd", "..-etc-passwd 2026-12-05T151203.png"},
             {"Line\nbreak", "Linebreak 2026-12-05T151203.png"}}) {
        EXPECT_EQ(screenshotFileName(name, moment), expected);
    }
}

TEST(FrameImage, ScreenshotsAreWrittenWholeOrNotAtAll) {
    const QTemporaryDir folder;
    QImage image(3, 2, QImage::Format_RGB32);
    image.fill(0xFF336699);
    const QString path = folder.filePath("shot.png");
    ASSERT_TRUE(writePng(image, path));
    EXPECT_EQ(QImage(path).convertToFormat(QImage::Format_RGB32), image);
    EXPECT_FALSE(writePng(image, folder.filePath("missing/shot.png")));
    EXPECT_FALSE(writePng(QImage(), folder.filePath("null.png")));
    EXPECT_FALSE(QFile::exists(folder.filePath("null.png")));
}

TEST_F(VNCSessionTest, SystemClipboardCountsEveryChangeItsOwnIncluded) {
    SystemClipboard system;
    const long before = system.changeCount();
    system.setText(QStringLiteral("one"));
    system.setText(QStringLiteral("two"));
    EXPECT_TRUE(eventually([&] { return system.changeCount() == before + 2; }));
    EXPECT_EQ(system.text(), QStringLiteral("two"));
}

// A trusted identity goes to every later attempt, with Require Encryption; one that differs from
// it asks again, against it, until the user forgets it.
TEST(VNCSessionTrust, IdentitiesWaitForTheUserAndTrustedOnesGoToEveryAttempt) {
    VNCSessionTesting fixture;
    VNCSession& session = *fixture.session;
    const QString server = IdentityStore::serverKey(fixture.connection);
    const rfb::RFBIdentity first{
        rfb::RFBIdentity::Kind::certificate, {1, 2, 3}, {rfb::RFBTrustProblem::selfSigned}};
    const rfb::RFBIdentity trusted{first.kind, first.data, {}};
    const rfb::RFBIdentity second{rfb::RFBIdentity::Kind::rsaKey, {4, 5}, {}};
    ConnectionOptions options = session.options();
    options.requireEncryption = true;
    session.setOptions(options);

    session.trustIdentity();  // nothing asked: nothing trusted
    fixture.end(rfb::RFBError::identityNotTrusted(first));
    EXPECT_EQ(session.state(), VNCSession::State::needsTrust(first, std::nullopt));
    session.trustIdentity();
    EXPECT_EQ(session.state().kind, Kind::connecting);
    EXPECT_EQ(fixture.identities.identities().size(), 1);
    EXPECT_EQ(fixture.configuration().trustedIdentity, trusted);
    EXPECT_TRUE(fixture.configuration().requireEncryption);

    fixture.end(rfb::RFBError::identityChanged(second));
    EXPECT_EQ(session.state(), VNCSession::State::needsTrust(second, trusted));
    session.disconnect();  // declined, as closing the window does
    EXPECT_EQ(fixture.identities.identity(server), trusted);
    fixture.identities.forget(server);
    fixture.end(rfb::RFBError::identityChanged(second));
    EXPECT_EQ(session.state(), VNCSession::State::needsTrust(second, std::nullopt));
}

// Against TigerVNC's Xvnc and the Secret Service of scripts/with-secret-service.sh.
class VNCSessionServerTest : public VNCSessionTest {
  protected:
    void SetUp() override {
        if (qgetenv("TESSARAL_SECRET_SERVICE") != "running") {
            GTEST_SKIP() << "needs scripts/with-secret-service.sh";
        }
    }
    void TearDown() override {
        for (const Connection& connection : store.connections()) {
            secrets.waitForDone().deletePassword(connection.id);
        }
    }
    testing::TestKeychain<SecretServiceKeychain> secrets;
};

TEST_F(VNCSessionServerTest, ConnectsShowsFramesAndEndsWhenTheServerGoesAway) {
    auto server = std::make_unique<RealServer>(ServerOptions{});
    const Connection connection = computer(server->port());
    VNCSession session(connection, store, identities, secrets, clipboard);
    QStringList texts;
    QObject::connect(&session, &VNCSession::statusTextChanged,
                     [&] { texts.append(session.statusText()); });
    session.connect();
    ASSERT_TRUE(eventually([&] { return !session.frameSize().isEmpty(); }));
    EXPECT_EQ(texts, QStringList({"Authenticating…", "Connected", "Tessaral test · 493 × 317"}));
    EXPECT_EQ(session.copyFrame().format(), QImage::Format_RGB32);
    EXPECT_TRUE(store.activeSessions().contains(connection.id));
    EXPECT_TRUE(store.connection(connection.id)->lastConnectedAt.has_value());

    server.reset();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::disconnected; }));
    EXPECT_EQ(texts.last(), QStringLiteral("Disconnected"));
    EXPECT_FALSE(session.copyFrame().isNull());
    EXPECT_FALSE(store.activeSessions().contains(connection.id));
    store.waitForThumbnails();
    EXPECT_TRUE(QFile::exists(store.thumbnailPath(connection.id)));

    // Closed before the session was established, the same end is a failure to connect, and the
    // user's disconnect leaves it shown.
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::failed; }));
    session.disconnect();
    EXPECT_EQ(session.state().kind, Kind::failed);
}

TEST_F(VNCSessionServerTest, WrongPasswordAsksAgainAndARememberedOneIsStoredAndUsed) {
    RealServer server({.password = "secret"});
    const Connection connection = computer(server.port());
    VNCSession session(connection, store, identities, secrets, clipboard,
                       rfb::RFBCredentials{"", "wrong"});
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::needsCredentials; }));
    EXPECT_EQ(session.state(),
              VNCSession::State::needsCredentials(RFBCredentialKind::password, true));
    EXPECT_EQ(session.statusText(), QStringLiteral("Authentication Required"));

    session.provideCredentials({}, QStringLiteral("secret"), true);
    EXPECT_EQ(session.state().kind, Kind::connecting);
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::connected; }));
    EXPECT_TRUE(session.canTypePassword());
    ASSERT_TRUE(
        eventually([&] { return secrets.waitForDone().password(connection.id) == "secret"; }));

    // A new window finds the password in the keychain by itself.
    VNCSession next(connection, store, identities, secrets, clipboard);
    next.connect();
    ASSERT_TRUE(eventually([&] { return next.state().kind == Kind::connected; }));
}

TEST_F(VNCSessionServerTest, DisconnectWhileAuthenticatingEndsDisconnected) {
    RealServer server({.password = "secret"});
    VNCSession session(computer(server.port()), store, identities, secrets, clipboard,
                       rfb::RFBCredentials{"", "wrong"});
    QObject::connect(&session, &VNCSession::stateChanged, [&] {
        if (session.state().kind == Kind::authenticating) {
            session.disconnect();
        }
    });
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::disconnected; }));
    QTest::qWait(1000);  // the stopped client's own end must not show
    EXPECT_EQ(session.state().kind, Kind::disconnected);
}

TEST_F(VNCSessionServerTest, OptionsKeysAndClipboardReachTheClientOnlyWhenTheyShould) {
    RealServer server;
    const Connection connection = computer(server.port());
    clipboard.setText(QStringLiteral("before"));
    VNCSession session(connection, store, identities, secrets, clipboard);
    QStringList calls;
    VNCSessionTesting::recordClientCalls(session, calls);
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::connected; }));
    EXPECT_EQ(calls, QStringList({"clipboard before"}));  // offered once on connecting

    calls.clear();
    // As X11 reports letters: Qt key, keysym, scan code, text.
    const auto letter = [](char c) {
        return KeyRecord{Qt::Key_A + (c - 'a'), std::uint32_t(c), std::uint32_t(c), QString(c), {}};
    };
    session.keyPress(letter('a'));  // unchanged clipboard: not sent again
    session.keyRelease(letter('a'));
    session.keyRelease(letter('b'));  // never pressed
    clipboard.setText(QStringLiteral("copied"));
    session.keyPress(letter('c'));
    session.keyPress(letter('d'));
    EXPECT_EQ(calls, QStringList({"key 61 down", "key 61 up", "clipboard copied", "key 63 down",
                                  "key 64 down"}));

    calls.clear();
    ConnectionOptions options = session.options();
    options.quality = rfb::RFBQuality::thousands;
    options.observeOnly = true;
    session.setOptions(options);
    session.setOptions(options);
    session.keyPress(letter('e'));
    session.releaseAllKeys();  // what observe mode released is not released again
    calls.sort();
    EXPECT_EQ(calls, QStringList({"key 63 up", "key 64 up", "quality 1"}));
    EXPECT_EQ(store.connection(connection.id)->options, options);
    EXPECT_FALSE(session.acceptsInput());

    // A new attempt over a live one: the replaced client's end never shows.
    QList<Kind> kinds;
    QObject::connect(&session, &VNCSession::stateChanged,
                     [&] { kinds.append(session.state().kind); });
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.state().kind == Kind::connected; }));
    QTest::qWait(500);
    EXPECT_EQ(kinds, QList<Kind>({Kind::connecting, Kind::authenticating, Kind::connected}));
    EXPECT_TRUE(store.activeSessions().contains(connection.id));
}

// The session's own tests offer and apply texts; these are the commands and the notices.
TEST(ClipboardSync, CommandsTheirNoticesAndNoEcho) {
    testing::MemoryClipboard clipboard;
    QStringList sent;
    ClipboardSync sync(clipboard, [&](const QString& text) { sent.append(text); });
    sync.takeRemote();
    EXPECT_EQ(sync.activity(), QStringLiteral("Remote clipboard is empty"));
    sync.received(QStringLiteral("kept"), false);
    EXPECT_EQ(clipboard.text(), std::nullopt);
    sync.takeRemote();
    sync.offerIfChanged();
    EXPECT_EQ(clipboard.text(), QStringLiteral("kept"));
    // A notice shown again within two seconds keeps its full time, however alike the words.
    QTest::qWait(1200);
    sync.takeRemote();
    QTest::qWait(1200);
    EXPECT_EQ(sync.activity(), QStringLiteral("Clipboard received"));
    sync.sendLocal();
    EXPECT_EQ(sent, QStringList{QStringLiteral("kept")});
    EXPECT_EQ(sync.activity(), QStringLiteral("Clipboard sent"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sync.activity(); }, 3000));
}

// No X clipboard tool hands Xvnc that much at once, so a scripted server sends it.
TEST_F(VNCSessionTest, ServerClipboardOfTenMebibytesReachesTheLocalOneAndStaysThere) {
    const std::string text(10 * 1024 * 1024, 'x');
    FakeServer server([&](Peer& peer) {
        acceptWithoutSecurity(peer);
        peer.write(Bytes{3, 0, 0, 0} + u32(std::uint32_t(text.size())) + rfbtest::text(text));
        peer.waitForClose(std::chrono::seconds(60));
    });
    VNCSession session(computer(server.port()), store, identities, keychain, clipboard);
    QStringList calls;
    VNCSessionTesting::recordClientCalls(session, calls);
    session.connect();
    // The longest the main loop went without turning while the text came in.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    sinceTick.start();
    ticker.start(10);
    ASSERT_TRUE(eventually([&] { return clipboard.text().has_value(); }));
    ticker.stop();
    EXPECT_LT(longestGap, 1000);
    EXPECT_EQ(clipboard.text()->size(), qsizetype(text.size()));
    EXPECT_EQ(session.remoteClipboard(), clipboard.text());
    EXPECT_EQ(session.clipboardActivity(), QStringLiteral("Clipboard received"));
    calls.clear();
    session.keyPress(KeyRecord{Qt::Key_A, 0x61, 38, QStringLiteral("a"), {}});
    EXPECT_EQ(calls, QStringList({"key 61 down"}));
    session.disconnect();
}

// The remote desktop follows the view's size in device pixels, as X on the remote sees it; a
// server that refuses is told once and then shown scaled again.
TEST_F(VNCSessionTest, RemoteDesktopFollowsTheViewUnlessTheServerRefuses) {
    RealServer server;
    const auto dimensions = [&] {
        const std::string out = server.x({"xdpyinfo"}, 10s).out;
        const std::size_t at = out.find("dimensions:");
        return at == std::string::npos ? out
                                       : out.substr(at + 11, out.find(" pixels", at) - at - 11);
    };
    VNCSession session(computer(server.port()), store, identities, keychain, clipboard,
                       rfb::RFBCredentials{});
    session.connect();
    ASSERT_TRUE(eventually([&] { return session.remoteFollowsWindow(); }));
    EXPECT_EQ(session.scaling(), ScalingMode::actualSize);
    // Sizes in quick succession: the newest wins.
    for (QSize size : {QSize(500, 300), QSize(640, 400), QSize(700, 450)}) {
        session.setViewSize(size);
    }
    EXPECT_TRUE(eventually([&] { return dimensions().find("700x450") != std::string::npos; }))
        << dimensions();
    EXPECT_TRUE(eventually([&] { return session.copyFrame().size() == QSize(700, 450); }));

    ConnectionOptions options = session.options();
    options.resizeRemote = false;
    session.setOptions(options);
    EXPECT_EQ(session.scaling(), options.scaling);
    session.setViewSize({600, 300});
    QTest::qWait(500);
    EXPECT_NE(dimensions().find("700x450"), std::string::npos) << dimensions();
    session.disconnect();

    RealServer refusing({.arguments = {"-AcceptSetDesktopSize=0"}});
    VNCSession refused(computer(refusing.port()), store, identities, keychain, clipboard,
                       rfb::RFBCredentials{});
    QSignalSpy told(&refused, &VNCSession::resizeRefused);
    refused.setViewSize({640, 400});
    refused.connect();
    ASSERT_TRUE(eventually([&] { return told.count() == 1; }));
    EXPECT_FALSE(refused.remoteFollowsWindow());
    EXPECT_TRUE(refused.resizeRefusal()->contains(QStringLiteral("does not allow")));
    refused.setViewSize({700, 500});
    QTest::qWait(300);
    EXPECT_EQ(told.count(), 1);
    refused.disconnect();
}

// Thirty updates 2 ms apart, each painting pixel (0,0) its own colour, come faster than a 24 Hz
// screen refreshes: frames are taken a refresh apart, and the newest is never lost, neither to a
// server that goes on nor to one that ends at once (whose last frame is taken without waiting).
TEST_F(VNCSessionTest, FramesFasterThanTheScreenAreFoldedAndTheNewestIsShown) {
    for (const bool serverEnds : {false, true}) {
        SCOPED_TRACE(serverEnds ? "server ends" : "server goes on");
        FakeServer server([&](Peer& peer) {
            acceptWithoutSecurity(peer);
            ASSERT_EQ(peer.read(20)[4], 32);  // SetPixelFormat: bits per pixel
            for (std::uint8_t colour = 1; colour <= 30; ++colour) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                peer.write(Bytes{0, 0} + u16(1) + u16(0) + u16(0) + u16(1) + u16(1) + u32(0) +
                           Bytes{colour, 0, 0, 0});
            }
            if (!serverEnds) {
                peer.waitForClose(std::chrono::seconds(60));
            }
        });
        VNCSession session(computer(server.port()), store, identities, keychain, clipboard);
        session.setRefreshRate(24);
        QElapsedTimer sinceFrame;
        qint64 shortestGap = 1000;
        QObject::connect(&session, &VNCSession::frameChanged, [&] {
            if (sinceFrame.isValid()) {
                shortestGap = std::min(shortestGap, sinceFrame.elapsed());
            }
            sinceFrame.start();
        });
        session.connect();
        EXPECT_TRUE(eventually([&] {
            return !session.copyFrame().isNull() && session.copyFrame().pixel(0, 0) == 0xFF00001E;
        }));
        if (!serverEnds) {
            EXPECT_GE(shortestGap, 40);
        }
        session.disconnect();
    }
}

TEST_F(VNCSessionTest, ALockedKeychainNeverHoldsUpTheWindow) {
    FakeServer server([](Peer& peer) {
        acceptWithoutSecurity(peer);
        peer.waitForClose(std::chrono::seconds(60));
    });
    keychain.memory->setOpen(false);
    QElapsedTimer clock;
    clock.start();
    std::thread unlock([&] {
        std::this_thread::sleep_for(std::chrono::seconds(6));
        keychain.memory->setOpen(true);
    });
    VNCSession session(computer(server.port()), store, identities, keychain, clipboard);
    session.connect();
    QTest::qWait(200);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_EQ(session.state().kind, Kind::connecting);
    unlock.join();
    EXPECT_TRUE(eventually([&] { return session.state().kind == Kind::connected; }));
}

}  // namespace
}  // namespace tessaral
