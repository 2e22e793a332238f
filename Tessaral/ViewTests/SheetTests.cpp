#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>

#include "Views/Session/CredentialsSheet.hpp"
#include "Views/Session/TypeTextSheet.hpp"

namespace tessaral {
namespace {

using rfb::RFBCredentialKind;

struct CredentialsCase {
    const char* name;
    RFBCredentialKind kind;
    bool retry;
    QString savedUsername;
    QString title;
    QString message;
    const char* focus;
};

TEST(CredentialsSheet, TextsFieldsAndFocus) {
    const CredentialsCase cases[] = {
        {"password", RFBCredentialKind::password, false, "", "Sign In to “Studio”",
         "Enter the screen-sharing password for the computer you’re connecting to.",
         "passwordField"},
        {"account without a saved name", RFBCredentialKind::usernameAndPassword, false, "",
         "Sign In to “Studio”",
         "Enter the name and password of a user account on the computer you’re connecting to.",
         "usernameField"},
        {"account with a saved name", RFBCredentialKind::usernameAndPassword, false, "anna",
         "Sign In to “Studio”",
         "Enter the name and password of a user account on the computer you’re connecting to.",
         "passwordField"},
        {"retry", RFBCredentialKind::password, true, "", "Authentication Failed",
         "The username or password was rejected by studio.local:5901. Try again.", "passwordField"},
    };
    for (const CredentialsCase& c : cases) {
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
        EXPECT_FALSE(sheet.connectButton()->isEnabled());
    }
}

TEST(CredentialsSheet, ConnectNeedsEveryFieldAskedAndSubmitsThem) {
    struct Case {
        RFBCredentialKind kind;
        QString username;
        QString password;
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
}  // namespace tessaral
