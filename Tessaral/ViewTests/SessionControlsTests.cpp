#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTest>
#include <QTimer>

#include "SessionFixture.hpp"
#include "State/AppState.hpp"
#include "Views/FileDialog.hpp"
#include "Views/Session/ConnectionMenu.hpp"
#include "Views/Session/CredentialsSheet.hpp"
#include "Views/Session/GatewayPromptSheet.hpp"
#include "Views/Session/ProtectionBadge.hpp"
#include "Views/Session/SessionActions.hpp"
#include "Views/Session/SessionContentView.hpp"
#include "Views/Session/SessionToolbar.hpp"
#include "Views/Session/SessionWindow.hpp"
#include "Views/Session/StatePanel.hpp"
#include "Views/Session/TrustSheet.hpp"
#include "Views/Session/TypeTextSheet.hpp"

namespace tessaral::testing {
namespace {

using Kind = VNCSession::State::Kind;

constexpr auto at = &VNCSession::State::at;

struct ControlsCase {
    const char* name;
    VNCSession::State state;
    bool frame, observeOnly;
    bool keys, clipboard, screenshot, refresh, reconnect;
};

TEST(SessionControls, EnablingFollowsTheSessionState) {
    const ControlsCase cases[] = {
        {"connecting", at(Kind::connecting), false, false, false, false, false, false, true},
        {"connected", at(Kind::connected), true, false, true, true, true, true, false},
        {"observe-only", at(Kind::connected), true, true, false, true, true, true, false},
        {"no frame yet", at(Kind::connected), false, false, true, true, false, true, false},
        {"disconnected with a frame", at(Kind::disconnected), true, false, false, false, true,
         false, true},
    };
    for (const ControlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        VNCSessionTesting fixture;
        QWidget window;
        SessionActions actions(&window);
        actions.setSession(fixture.session.get());
        fixture.set(c.state, c.frame, c.observeOnly);

        for (QAction* keys : {actions.keyboardMenu()->menuAction(),
                              actions.sendKeysSubmenu()->menuAction(), actions.typeText()}) {
            EXPECT_EQ(keys->isEnabled(), c.keys) << keys->text().toStdString();
        }
        for (QAction* clipboard : {actions.clipboardMenu()->menuAction(), actions.sendClipboard(),
                                   actions.getClipboard()}) {
            EXPECT_EQ(clipboard->isEnabled(), c.clipboard) << clipboard->text().toStdString();
        }
        EXPECT_EQ(actions.screenshot()->isEnabled(), c.screenshot);
        EXPECT_EQ(actions.refresh()->isEnabled(), c.refresh);
        EXPECT_EQ(actions.reconnect()->isEnabled(), c.reconnect);
        for (QAction* always :
             {actions.scaling(), actions.observe(), actions.disconnect(),
              actions.qualityMenu()->menuAction(), actions.qualitySubmenu()->menuAction()}) {
            EXPECT_TRUE(always->isEnabled()) << always->text().toStdString();
        }
        EXPECT_EQ(actions.observe()->isChecked(), c.observeOnly);
    }
}

// The toolbar and the Connection menu show the same commands, so they can never disagree.
TEST(SessionControls, ToolbarAndMenuShareTheirCommands) {
    VNCSessionTesting fixture;
    QWidget window;
    SessionActions actions(&window);
    actions.setSession(fixture.session.get());
    const SessionToolbar toolbar(actions, &window);
    const ConnectionMenu menu(actions, &window);
    for (QAction* shared : {actions.scaling(), actions.observe(), actions.screenshot()}) {
        EXPECT_TRUE(toolbar.actions().contains(shared) && menu.actions().contains(shared));
    }
    EXPECT_EQ(actions.scaling()->text(), "Actual Size");
    EXPECT_EQ(actions.scaling()->toolTip(), "Show at actual size");
    actions.scaling()->trigger();
    EXPECT_EQ(actions.scaling()->text(), "Scale to Fit");
    EXPECT_EQ(actions.scaling()->toolTip(), "Scale to fit the window");
    EXPECT_EQ(fixture.session->options().scaling, ScalingMode::actualSize);
    EXPECT_EQ(fixture.store.connection(fixture.connection.id)->options.scaling,
              ScalingMode::actualSize);
}

struct PanelCase {
    const char* name;
    VNCSession::State state;
    bool shown;
    QString title, message;
    bool progress;  // Cancel; otherwise Close and Reconnect
    double opacity;
};

TEST(SessionContent, StatePanelPerState) {
    const PanelCase cases[] = {
        {"idle", at(Kind::idle), true, "Connecting to Studio…", "", true, 0.35},
        {"connecting", at(Kind::connecting), true, "Connecting to Studio…", "", true, 0.35},
        {"authenticating", at(Kind::authenticating), true, "Authenticating…", "", true, 0.35},
        {"connected", at(Kind::connected), false, "", "", false, 1.0},
        {"disconnected", at(Kind::disconnected), true, "Disconnected",
         "The session with Studio has ended.", false, 0.35},
        {"failed", VNCSession::State::failed("Connection refused"), true, "Couldn’t Connect",
         "Connection refused", false, 0.35},
        {"credentials", VNCSession::State::needsCredentials(rfb::RFBCredentialKind::password, true),
         false, "", "", false, 0.35},
    };
    for (const PanelCase& c : cases) {
        SCOPED_TRACE(c.name);
        VNCSessionTesting fixture;
        SessionContentView content(fixture.session.get());
        content.resize(800, 600);
        content.show();
        fixture.set(c.state);
        StatePanel* panel = content.statePanel();
        ASSERT_EQ(panel->isVisible(), c.shown);
        EXPECT_DOUBLE_EQ(content.screenOpacity(), c.opacity);
        if (!c.shown) {
            continue;
        }
        EXPECT_EQ(panel->title(), c.title);
        EXPECT_EQ(panel->message(), c.message);
        const auto button = [panel](const char* name) {
            return panel->findChild<QPushButton*>(name)->isVisible();
        };
        EXPECT_EQ(button("cancelButton"), c.progress);
        EXPECT_EQ(button("closeButton"), !c.progress);
        EXPECT_EQ(button("reconnectButton"), !c.progress);
    }
}

using rfb::RFBCredentialKind;

TEST(CredentialsSheet, TextsFieldsAndFocus) {
    struct Case {
        const char* name;
        RFBCredentialKind kind;
        bool retry;
        QString savedUsername, title, message;
        const char* focus;
    };
    const QString signIn = "Sign In to “Studio”";
    const QString account =
        "Enter the name and password of a user account on the computer you’re connecting to.";
    const Case cases[] = {
        {"password", RFBCredentialKind::password, false, "", signIn,
         "Enter the screen-sharing password for the computer you’re connecting to.",
         "passwordField"},
        {"account without a saved name", RFBCredentialKind::usernameAndPassword, false, "", signIn,
         account, "usernameField"},
        {"account with a saved name", RFBCredentialKind::usernameAndPassword, false, "anna", signIn,
         account, "passwordField"},
        {"retry", RFBCredentialKind::password, true, "", "Authentication Failed",
         "The username or password was rejected by studio.local:5901. Try again.", "passwordField"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection connection;
        connection.name = QStringLiteral("Studio");
        connection.host = QStringLiteral("studio.local");
        connection.port = 5901;
        connection.username = c.savedUsername;
        CredentialsSheet sheet(connection, c.kind, c.retry);
        EXPECT_EQ(sheet.findChild<QLabel*>("credentialsTitle")->text(), c.title);
        EXPECT_EQ(sheet.findChild<QLabel*>("credentialsMessage")->text(), c.message);
        EXPECT_EQ(sheet.usernameField() != nullptr,
                  c.kind == RFBCredentialKind::usernameAndPassword);
        if (sheet.usernameField()) {
            EXPECT_EQ(sheet.usernameField()->text(), c.savedUsername);
        }
        EXPECT_EQ(sheet.initialFocus()->objectName(), c.focus);
        EXPECT_EQ(sheet.focusWidget(), sheet.initialFocus());
        EXPECT_TRUE(sheet.rememberToggle()->isChecked());
        EXPECT_EQ(sheet.rememberToggle()->text(), "Remember in Password Keyring");
        EXPECT_FALSE(sheet.connectButton()->isEnabled());
    }
}

TEST(CredentialsSheet, ConnectNeedsEveryFieldAskedAndSubmitsThem) {
    struct Case {
        RFBCredentialKind kind;
        QString username, password;
        bool enabled;
    };
    const Case cases[] = {
        {RFBCredentialKind::password, "", "", false},
        {RFBCredentialKind::password, "", "pw", true},
        {RFBCredentialKind::usernameAndPassword, "", "pw", false},
        {RFBCredentialKind::usernameAndPassword, "anna", "", false},
        {RFBCredentialKind::usernameAndPassword, "anna", "pw", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.username.toStdString() + "/" + c.password.toStdString());
        Connection connection;
        connection.name = QStringLiteral("Studio");
        connection.username = QStringLiteral("saved");
        CredentialsSheet sheet(connection, c.kind, false);
        if (sheet.usernameField()) {
            sheet.usernameField()->setText(c.username);
        }
        sheet.passwordField()->setText(c.password);
        sheet.rememberToggle()->setChecked(false);
        EXPECT_EQ(sheet.connectButton()->isEnabled(), c.enabled);
        QSignalSpy submitted(&sheet, &CredentialsSheet::submitted);
        sheet.connectButton()->click();
        // A password alone goes with the saved name.
        const QString name = sheet.usernameField() ? c.username : QStringLiteral("saved");
        const QList<QVariantList> expected{QVariantList{name, c.password, false}};
        EXPECT_EQ(QList<QVariantList>(submitted), c.enabled ? expected : QList<QVariantList>());
    }
}

using Problem = rfb::RFBTrustProblem;

// Self-signed for "studio.local", made with openssl to be valid from 2020-01-01 to 2021-01-01 at
// noon UTC: on those dates in every time zone.
const QByteArray studioCertificate = R"(-----BEGIN CERTIFICATE-----
MIIBRjCB7gIBATAKBggqhkjOPQQDAjAwMRUwEwYDVQQDDAxzdHVkaW8ubG9jYWwx
FzAVBgNVBAoMDlRlc3NhcmFsIFRlc3RzMB4XDTIwMDEwMTEyMDAwMFoXDTIxMDEw
MTEyMDAwMFowMDEVMBMGA1UEAwwMc3R1ZGlvLmxvY2FsMRcwFQYDVQQKDA5UZXNz
YXJhbCBUZXN0czBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABEleSOj8tiSv9cST
K3Fz1y7p4sEDtrPYAomQ4YUJRf5P93kiP1WvhQY/Oymka2cNCPROczFPmJp846kT
vCr2xnEwCgYIKoZIzj0EAwIDRwAwRAIgX/qZHdrTM3hRqv2Ta3jj0QaYsPQ/zrUd
gCY1pxPgvRcCIAtWB01yXwPugZSOiuKL89537bo9Dr+bI9UFDYBy3p5Z
-----END CERTIFICATE-----
)";
// As `openssl x509 -noout -fingerprint -sha256` prints it, cut after sixteen pairs.
const QString studioFingerprint =
    "31:91:F8:BA:21:11:F4:F7:69:C3:AF:61:9E:FA:15:78:\n"
    "9E:41:BD:93:EF:36:0F:82:FA:78:EA:38:03:A6:08:2A";

rfb::RFBIdentity certificate(std::vector<Problem> problems) {
    const QByteArray der = QSslCertificate(studioCertificate).toDer();
    return {rfb::RFBIdentity::Kind::certificate, {der.begin(), der.end()}, std::move(problems)};
}

// A 2048-bit key as a server sends it: the bit length, then modulus and exponent.
const rfb::RFBIdentity rsaKey{
    rfb::RFBIdentity::Kind::rsaKey, {0, 0, 8, 0, 0xC5, 0x01, 0x00, 0x01}, {}};

// Every reason in words, what the identity says of itself, its fingerprint as openssl shows a
// certificate's, and Cancel as the default answer to a changed identity.
TEST(TrustSheet, TextsFingerprintsAndDefaultButtons) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    struct Case {
        const char* name;
        rfb::RFBIdentity identity;
        std::optional<rfb::RFBIdentity> replaced;
        QStringList shown;  // the title and message first
        QString trust;
    };
    const QString verify = "Verify the Identity of “Studio”";
    const Case cases[] = {
        {"certificate",
         certificate({Problem::selfSigned, Problem::unknownIssuer, Problem::expired,
                      Problem::notYetValid, Problem::otherName, Problem::invalid}),
         std::nullopt,
         {verify,
          "The certificate is signed by itself, so no authority vouches for it. The certificate "
          "is signed by an authority this computer doesn’t know. The certificate expired on "
          "Friday, January 1, 2021. The certificate is not valid until Wednesday, January 1, "
          "2020. The certificate is made for another name. The certificate is not valid.",
          "studio.local", studioFingerprint},
         "Trust and Connect"},
        {"key",
         rsaKey,
         std::nullopt,
         {verify, "This is the first connection to this computer with this key.",
          "2048-bit RSA key", QString::fromStdString(rsaKey.fingerprint())},
         "Trust and Connect"},
        {"changed key",
         rsaKey,
         certificate({}),
         {"The identity of “Studio” has changed",
          "“Studio” presents a different key from the one you trusted. Someone may be posing as "
          "the computer to see its screen and everything you type, passwords included. Unless "
          "you know that it was given a new key, cancel.",
          studioFingerprint, QString::fromStdString(rsaKey.fingerprint())},
         "Trust New Identity and Connect"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Connection studio;
        studio.name = QStringLiteral("Studio");
        TrustSheet sheet(studio, c.identity, c.replaced);
        EXPECT_EQ(sheet.windowTitle(), c.shown[0]);
        EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
        QStringList texts;
        for (const QLabel* label : sheet.findChildren<QLabel*>()) {
            texts << label->text();
        }
        for (const QString& text : c.shown) {
            EXPECT_TRUE(texts.contains(text)) << text.toStdString();
        }
        EXPECT_EQ(sheet.trustButton()->text(), c.trust);
        EXPECT_EQ(sheet.trustButton()->isDefault(), !c.replaced);
        EXPECT_EQ(sheet.cancelButton()->isDefault(), c.replaced.has_value());
    }
}

// In the session window, as ssh asks: typed hidden, or confirmed with the "yes" ssh wants.
// Declining ends the attempt with the window.
TEST(GatewayPromptSheet, ShowsSshsQuestionAndAnswersAsSshExpects) {
    const rfb::event::GatewayPrompt passphrase{"Enter passphrase for key '/k/id':", true};
    const rfb::event::GatewayPrompt hostKey{
        "The authenticity of host 'gate' can't be established.\nED25519 key fingerprint is "
        "SHA256:x.\nAre you sure you want to continue connecting (yes/no/[fingerprint])? ",
        false};
    const QString signIn = "Sign In to the SSH Gateway “me@gate”";
    const struct {
        rfb::event::GatewayPrompt prompt;
        QString title, firstLine, typed;
        std::optional<QString> answer;
    } cases[] = {
        {passphrase, signIn, passphrase.text.c_str(), "open sesame", "open sesame"},
        {hostKey, "Accept the host key of “me@gate”?",
         "The authenticity of host 'gate' can't be established.", "", "yes"},
        {passphrase, signIn, passphrase.text.c_str(), "typed, then declined", std::nullopt},
    };
    for (const auto& c : cases) {
        VNCSessionTesting fixture;
        fixture.connection.sshGateway = QStringLiteral("me@gate");
        fixture.store.upsert(fixture.connection);
        AppState appState;
        SessionWindow window(fixture.store, fixture.identities, appState, fixture.keychain,
                             fixture.clipboard, fixture.connection.id);
        window.show();
        VNCSessionTesting::setState(*window.findChild<VNCSession*>(),
                                    VNCSession::State::needsGatewayAnswer(c.prompt));
        auto* sheet = window.findChild<GatewayPromptSheet*>();
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->windowTitle(), c.title);
        const QString shown =
            sheet->findChild<QLabel*>(QStringLiteral("gatewayPromptText"))->text();
        EXPECT_EQ(shown.split(u'\n').first(), c.firstLine);
        ASSERT_EQ(sheet->secretField() != nullptr, c.prompt.secret);
        if (sheet->secretField()) {
            EXPECT_EQ(sheet->secretField()->echoMode(), QLineEdit::Password);
            QTest::keyClicks(sheet->secretField(), c.typed);
        }
        QSignalSpy answered(sheet, &GatewayPromptSheet::answered);
        (c.answer ? sheet->answerButton() : sheet->cancelButton())->click();
        EXPECT_EQ(answered.size(), c.answer ? 1 : 0);
        if (c.answer && !answered.empty()) {
            EXPECT_EQ(answered[0][0].toString(), *c.answer);
        }
        EXPECT_EQ(window.isVisible(), c.answer.has_value());
    }
}

TEST(ProtectionBadge, SaysHowTheConnectedSessionIsProtected) {
    using Identity = rfb::RFBProtection::Identity;
    const std::tuple<rfb::RFBProtection, QString, QString> cases[] = {
        {{true, "TLS 1.3", Identity::verified},
         "Encrypted (TLS 1.3, certificate verified)",
         "lock"},
        {{true, "RSA-AES-256", Identity::trustedByUser},
         "Encrypted (RSA-AES-256, identity trusted)",
         "lock"},
        {{true, "TLS 1.2", Identity::none},
         "Encrypted — identity not verified",
         "lock.trianglebadge.exclamationmark"},
        {{false, "", Identity::none}, "Not encrypted", "lock.open"},
        {{false, "", Identity::none, "me@gate:2222"},
         "Encrypted by SSH to me@gate:2222, not beyond",
         "lock"},
        {{true, "TLS 1.3", Identity::verified, "gate"},
         "Through SSH gateway gate · Encrypted (TLS 1.3, certificate verified)",
         "lock"},
    };
    for (const auto& [protection, words, symbol] : cases) {
        SCOPED_TRACE(words.toStdString());
        VNCSessionTesting fixture;
        ProtectionBadge badge(fixture.session.get());
        rfb::RFBServerInfo info;
        info.protection = protection;
        fixture.setServerInfo(info);
        EXPECT_EQ(badge.text(), "");
        fixture.set(at(Kind::connected));
        EXPECT_EQ(std::pair(badge.text(), badge.symbol()), std::pair(words, symbol));
        fixture.set(at(Kind::disconnected));
        EXPECT_EQ(badge.text(), "");
    }
}

// While the user picks a file, the library and the other sessions stay usable.
TEST(SessionWindow, ScreenshotDialogIsModalToItsWindowOnly) {
    VNCSessionTesting fixture;
    AppState appState;
    SessionWindow window(fixture.store, fixture.identities, appState, fixture.keychain,
                         fixture.clipboard, fixture.connection.id);
    window.show();
    VNCSessionTesting::setFrame(*window.findChild<VNCSession*>(),
                                QImage(64, 48, QImage::Format_RGB32), {});
    FileDialog::setNextFileName(fixture.folder.filePath("shot"));
    window.saveScreenshot();
    EXPECT_EQ(QImage(fixture.folder.filePath("shot.png")).size(), QSize(64, 48));

    // Looked at from a timer, should the dialog run an event loop of its own.
    Qt::WindowModality modality = Qt::NonModal;
    QTimer::singleShot(0, &window, [&] {
        auto* dialog = window.findChild<QFileDialog*>();
        modality = dialog->windowModality();
        dialog->reject();
    });
    window.saveScreenshot();
    EXPECT_TRUE(QTest::qWaitFor([&] { return modality == Qt::WindowModal; }));
}

TEST(SessionWindow, FullScreenHidesTheBarsAndRevealsItsOwnAtTheTopEdge) {
    VNCSessionTesting fixture;
    AppState appState;
    SessionWindow window(fixture.store, fixture.identities, appState, fixture.keychain,
                         fixture.clipboard, fixture.connection.id);
    window.setMenuBar(new QMenuBar);
    window.menuBar()->addMenu(window.connectionMenu());
    window.show();
    QAction* fullScreen = window.connectionMenu()->actions().first();
    EXPECT_EQ(fullScreen->shortcut(), QKeySequence(Qt::CTRL | Qt::META | Qt::Key_F));
    auto* toolbar = window.findChild<SessionToolbar*>();
    auto* bar = window.findChild<QWidget*>(QStringLiteral("fullScreenBar"));
    ASSERT_TRUE(toolbar && bar);
    const auto pointerAt = [&](int y) {
        QMouseEvent move(QEvent::MouseMove, QPointF(200, y), window.mapToGlobal(QPointF(200, y)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window.centralWidget(), &move);
        return bar->isVisible();
    };
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full);
        fullScreen->trigger();
        EXPECT_EQ(window.isFullScreen(), full);
        EXPECT_EQ(fullScreen->text(), full ? "Exit Full Screen" : "Enter Full Screen");
        EXPECT_EQ(toolbar->isVisible(), !full);
        EXPECT_EQ(window.menuBar()->isVisible(), !full);
        EXPECT_EQ(pointerAt(0), full) << "the top edge reveals the bar";
        EXPECT_FALSE(pointerAt(300)) << "leaving it hides the bar";
    }
}

TEST(TypeTextSheet, TypeOnlyWithText) {
    TypeTextSheet sheet;
    QSignalSpy sent(&sheet, &TypeTextSheet::send);
    EXPECT_FALSE(sheet.typeButton()->isEnabled());
    sheet.editor()->setPlainText(QStringLiteral("ls -l\n"));
    EXPECT_TRUE(sheet.typeButton()->isEnabled());
    sheet.editor()->clear();
    EXPECT_FALSE(sheet.typeButton()->isEnabled());
    sheet.editor()->setPlainText(QStringLiteral("hello"));
    sheet.typeButton()->click();
    ASSERT_EQ(sent.size(), 1);
    EXPECT_EQ(sent[0][0].toString(), "hello");
}

}  // namespace
}  // namespace tessaral::testing
