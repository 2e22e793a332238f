#include "CredentialsSheet.hpp"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

QString CredentialsSheet::titleText(const Connection& connection, bool isRetry) {
    return isRetry ? tr("Authentication Failed") : tr("Sign In to “%1”").arg(connection.name);
}

QString CredentialsSheet::messageText(const Connection& connection, rfb::RFBCredentialKind kind,
                                      bool isRetry) {
    if (isRetry) {
        return tr("The username or password was rejected by %1. Try again.")
            .arg(connection.addressDescription());
    }
    if (kind == rfb::RFBCredentialKind::usernameAndPassword) {
        return tr(
            "Enter the name and password of a user account on the computer you’re "
            "connecting to.");
    }
    return tr("Enter the screen-sharing password for the computer you’re connecting to.");
}

CredentialsSheet::CredentialsSheet(const Connection& connection, rfb::RFBCredentialKind kind,
                                   bool isRetry, QWidget* parent)
    : QDialog(parent),
      password_(new QLineEdit),
      remember_(new QCheckBox(tr("Remember in Password Keyring"))),
      connect_(new QPushButton(tr("Connect"))) {
    setObjectName(QStringLiteral("credentialsSheet"));
    setWindowModality(Qt::WindowModal);
    setWindowTitle(titleText(connection, isRetry));

    const QString symbol =
        isRetry ? QStringLiteral("lock.trianglebadge.exclamationmark") : QStringLiteral("lock");
    auto* icon = new QLabel;
    icon->setObjectName(QStringLiteral("credentialsIcon"));
    icon->setPixmap(symbolIcon(symbol).pixmap(QSize(40, 40), devicePixelRatioF()));
    auto* title = sheetTitle(titleText(connection, isRetry));
    title->setObjectName(QStringLiteral("credentialsTitle"));
    auto* message = new QLabel(messageText(connection, kind, isRetry));
    message->setObjectName(QStringLiteral("credentialsMessage"));

    auto* form = new QFormLayout;
    if (kind == rfb::RFBCredentialKind::usernameAndPassword) {
        username_ = new QLineEdit(connection.username);
        username_->setObjectName(QStringLiteral("usernameField"));
        username_->setPlaceholderText(tr("Account name"));
        form->addRow(tr("Name"), username_);
        connect(username_, &QLineEdit::textChanged, this,
                [this] { connect_->setEnabled(canSubmit()); });
    }
    password_->setObjectName(QStringLiteral("passwordField"));
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(tr("Required"));
    form->addRow(tr("Password"), password_);
    remember_->setObjectName(QStringLiteral("rememberToggle"));
    remember_->setChecked(true);
    form->addRow(QString(), remember_);

    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect_->setObjectName(QStringLiteral("connectButton"));
    connect_->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(14);
    layout->addLayout(sheetHeading(icon, title, message));
    layout->addLayout(form);
    layout->addLayout(sheetButtons(cancel, connect_));
    setMinimumWidth(420);

    connect(password_, &QLineEdit::textChanged, this,
            [this] { connect_->setEnabled(canSubmit()); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    const QString savedUsername = connection.username;
    connect(connect_, &QPushButton::clicked, this, [this, savedUsername] {
        if (!canSubmit()) {
            return;
        }
        accept();
        emit submitted(username_ ? username_->text() : savedUsername, password_->text(),
                       remember_->isChecked());
    });
    connect_->setEnabled(canSubmit());
    initialFocus()->setFocus();
}

bool CredentialsSheet::canSubmit() const {
    return !password_->text().isEmpty() && (!username_ || !username_->text().isEmpty());
}

QWidget* CredentialsSheet::initialFocus() const {
    if (username_ && username_->text().isEmpty()) {
        return username_;
    }
    return password_;
}

}  // namespace tessaral
