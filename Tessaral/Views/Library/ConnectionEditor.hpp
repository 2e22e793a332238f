#pragma once

#include <QDialog>
#include <optional>

#include "Model/Connection.hpp"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaral {

class ConnectionStore;
class KeychainService;

// Creates or changes a saved computer and its password. Accepting saves: the record goes to the
// store at once, the password to the keychain on the keychain thread. Rejecting (Cancel, Escape,
// closing) changes nothing.
class ConnectionEditor : public QDialog {
    Q_OBJECT

  public:
    // `store` and `keychain` must outlive the editor. The saved password of an existing computer
    // is read in the background and fills the field when it arrives, unless the user has typed a
    // password by then.
    ConnectionEditor(ConnectionStore& store, KeychainService& keychain,
                     const Connection& connection, bool isNew, QWidget* parent = nullptr);
    ~ConnectionEditor() override;

    // The port a port field's text means: 5900 when empty, the value of a decimal integer with an
    // optional sign, else -1 (which no computer accepts).
    static qint64 portFromText(const QString& text);
    // Why the computer cannot be saved; empty when it can.
    static QString validationMessage(const Connection& connection);

    // The record as edited so far.
    const Connection& connection() const { return connection_; }
    bool isNew() const { return isNew_; }
    bool passwordLoaded() const { return passwordLoaded_; }

    QLineEdit* nameField() const { return name_; }
    // Null for a computer known only by its Bonjour service.
    QLineEdit* hostField() const { return host_; }
    QLineEdit* portField() const { return port_; }
    QLineEdit* sshGatewayField() const { return sshGateway_; }
    QLineEdit* usernameField() const { return username_; }
    QLineEdit* passwordField() const { return password_; }
    QComboBox* groupPicker() const { return group_; }
    QLabel* validationLabel() const { return validation_; }
    QPushButton* saveButton() const { return save_; }

  signals:
    // After the record went to the store.
    void saved(const Connection& connection);
    // The keychain's answer arrived (whether or not it was used).
    void passwordLookupFinished();

  private:
    QWidget* buildHeader();
    QWidget* buildComputerSection();
    QWidget* buildAuthenticationSection();
    QWidget* buildAppearanceSection();
    QWidget* buildDisplaySection();
    QWidget* buildBehaviorSection();
    QWidget* buildBottomBar();

    void loadPassword();
    void passwordLookedUp(const std::optional<QString>& password);
    void hostChanged(const QString& text);
    void applyPastedAddress();
    void setPasswordText(const QString& password);
    void refresh();
    void updateHeaderIcon();
    void save();

    ConnectionStore& store_;
    KeychainService& keychain_;
    Connection connection_;
    bool isNew_;
    bool passwordLoaded_ = false;
    // What the keychain gave (or the empty field of a new computer); the keychain is written only
    // when the field differs from it.
    std::optional<QString> loadedPassword_;
    bool passwordEdited_ = false;
    QString previousHost_;
    bool applyingAddress_ = false;

    QLabel* headerIcon_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* host_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* sshGateway_ = nullptr;
    QComboBox* group_ = nullptr;
    QLineEdit* username_ = nullptr;
    QLineEdit* password_ = nullptr;
    QButtonGroup* symbolButtons_ = nullptr;
    QButtonGroup* tintButtons_ = nullptr;
    QLabel* validationIcon_ = nullptr;
    QLabel* validation_ = nullptr;
    QPushButton* save_ = nullptr;
};

}  // namespace tessaral
