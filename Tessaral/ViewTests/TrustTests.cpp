#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTest>
#include <algorithm>

#include "SessionFixture.hpp"
#include "State/AppState.hpp"
#include "Views/Session/ProtectionBadge.hpp"
#include "Views/Session/SessionWindow.hpp"
#include "Views/Session/TrustSheet.hpp"

namespace tessaral::testing {
namespace {

using Kind = VNCSession::State::Kind;
using Problem = rfb::RFBTrustProblem;

// Self-signed for "studio.local", valid from 2020-01-01 to 2021-01-01 at noon UTC (so on those
// dates in every time zone), made with openssl.
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

Connection studio() {
    Connection connection;
    connection.name = QStringLiteral("Studio");
    connection.host = QStringLiteral("studio.local");
    return connection;
}

QString text(const QWidget& parent, const char* name) {
    const auto* label = parent.findChild<QLabel*>(name);
    return label ? label->text() : QStringLiteral("(none)");
}

TEST(TrustSheet, SaysWhatIsPresentedAndWhyItIsNotTrustedAndCancelsAChangeByDefault) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    struct Case {
        const char* name;
        rfb::RFBIdentity identity;
        std::optional<rfb::RFBIdentity> replaced;
        QString title;
        QString message;  // empty: not compared
        QString trust;
        bool trustIsDefault;
    };
    const QString verify = "Verify the Identity of “Studio”";
    const QString changed = "The identity of “Studio” has changed";
    const Case cases[] = {
        {"self-signed", certificate({Problem::selfSigned}), std::nullopt, verify,
         "The certificate is signed by itself, so no authority vouches for it.",
         "Trust and Connect", true},
        {"every other problem",
         certificate({Problem::unknownIssuer, Problem::expired, Problem::notYetValid,
                      Problem::otherName, Problem::invalid}),
         std::nullopt, verify,
         "The certificate is signed by an authority this computer doesn’t know. The certificate "
         "expired on Friday, January 1, 2021. The certificate is not valid until Wednesday, "
         "January 1, 2020. The certificate is made for another name. The certificate is not "
         "valid.",
         "Trust and Connect", true},
        {"key", rsaKey, std::nullopt, verify,
         "This is the first connection to this computer with this key.", "Trust and Connect", true},
        {"changed certificate", certificate({Problem::selfSigned}), rsaKey, changed, "",
         "Trust New Identity and Connect", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TrustSheet sheet(studio(), c.identity, c.replaced);
        EXPECT_EQ(sheet.windowTitle(), c.title);
        EXPECT_EQ(text(sheet, "trustTitle"), c.title);
        if (!c.message.isEmpty()) {
            EXPECT_EQ(text(sheet, "trustMessage"), c.message);
        }
        EXPECT_EQ(sheet.trustButton()->text(), c.trust);
        EXPECT_EQ(sheet.trustButton()->isDefault(), c.trustIsDefault);
        EXPECT_EQ(sheet.cancelButton()->isDefault(), !c.trustIsDefault);
        EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
    }
}

bool shows(const QWidget& parent, const QString& text) {
    const QList<QLabel*> labels = parent.findChildren<QLabel*>();
    return std::any_of(labels.begin(), labels.end(),
                       [&](const QLabel* label) { return label->text() == text; });
}

TEST(TrustSheet, ShowsTheCertificateItsFingerprintAndTheOneItReplaces) {
    const TrustSheet first(studio(), certificate({Problem::selfSigned}), std::nullopt);
    EXPECT_EQ(text(first, "fingerprint"), studioFingerprint);
    EXPECT_TRUE(shows(first, "studio.local"));  // issued to and by
    EXPECT_TRUE(shows(first, "SHA-256 fingerprint"));

    const TrustSheet key(studio(), rsaKey, std::nullopt);
    EXPECT_EQ(text(key, "fingerprint"), QString::fromStdString(rsaKey.fingerprint()));
    EXPECT_TRUE(shows(key, "2048-bit RSA key"));

    const TrustSheet changed(studio(), rsaKey, certificate({}));
    EXPECT_EQ(text(changed, "replacedFingerprint"), studioFingerprint);
    EXPECT_TRUE(text(changed, "trustMessage").contains("a different key"));
    EXPECT_TRUE(text(changed, "trustMessage").contains("posing as the computer"));
}

// The window asks when the session does: trusting connects again with the identity remembered,
// and declining a changed identity closes the window and keeps the one trusted before.
TEST(SessionWindow, TrustSheetAnswersTheSessionsQuestion) {
    VNCSessionTesting fixture;
    AppState appState;
    SessionWindow window(fixture.store, fixture.identities, appState, fixture.keychain,
                         fixture.clipboard, fixture.connection.id);
    window.show();
    auto* session = window.findChild<VNCSession*>();
    ASSERT_TRUE(QTest::qWaitFor([&] { return session->state().kind == Kind::failed; }));

    const rfb::RFBIdentity presented = certificate({Problem::selfSigned});
    VNCSessionTesting::end(*session, rfb::RFBError::identityNotTrusted(presented));
    auto* sheet = window.findChild<TrustSheet*>();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    sheet->trustButton()->click();
    EXPECT_EQ(session->state().kind, Kind::connecting);
    const QString server = IdentityStore::serverKey(fixture.connection);
    EXPECT_EQ(fixture.identities.identity(server), certificate({}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return session->state().kind == Kind::failed; }));

    VNCSessionTesting::end(*session, rfb::RFBError::identityChanged(rsaKey));
    sheet = window.findChild<TrustSheet*>();
    ASSERT_NE(sheet, nullptr);
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }));
    EXPECT_EQ(fixture.identities.identity(server), certificate({}));
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
    };
    for (const auto& [protection, words, symbol] : cases) {
        SCOPED_TRACE(words.toStdString());
        VNCSessionTesting fixture;
        ProtectionBadge badge(fixture.session.get());
        rfb::RFBServerInfo info;
        info.protection = protection;
        fixture.setServerInfo(info);
        EXPECT_EQ(badge.text(), "");
        fixture.set(VNCSession::State::at(Kind::connected));
        EXPECT_EQ(badge.text(), words);
        EXPECT_EQ(badge.symbol(), symbol);
        fixture.set(VNCSession::State::at(Kind::disconnected));
        EXPECT_EQ(badge.text(), "");
    }
}

}  // namespace
}  // namespace tessaral::testing
