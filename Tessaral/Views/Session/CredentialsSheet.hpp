#pragma once

#include <QDialog>

#include "Model/Connection.hpp"
#include "RFBConfiguration.hpp"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaral {

// Asks for the password, or the user name and password, that the computer's server wants.
// Rejecting the dialog (Cancel, Escape, closing it) is the user declining.
class CredentialsSheet : public QDialog {
    Q_OBJECT

  public:
    CredentialsSheet(const Connection& connection, rfb::RFBCredentialKind kind, bool isRetry,
                     QWidget* parent = nullptr);

    static QString titleText(const Connection& connection, bool isRetry);
    static QString messageText(const Connection& connection, rfb::RFBCredentialKind kind,
                               bool isRetry);

    // Null for a password-only server.
    QLineEdit* usernameField() const { return username_; }
    QLineEdit* passwordField() const { return password_; }
    QCheckBox* rememberToggle() const { return remember_; }
    QPushButton* connectButton() const { return connect_; }
    // The field that has the focus when the sheet opens.
    QWidget* initialFocus() const;

  signals:
    void submitted(const QString& username, const QString& password, bool remember);

  private:
    bool canSubmit() const;

    QLineEdit* username_ = nullptr;
    QLineEdit* password_;
    QCheckBox* remember_;
    QPushButton* connect_;
};

}  // namespace tessaral
