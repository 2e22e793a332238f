#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace tessaral {

class ConnectionStore;
class IdentityStore;

// The preferences window. Every control is bound to its preference: a change is written at once,
// and a preference changed elsewhere shows in the control. It also lists the identities the user
// trusted, to forget them. `store` and `identities` must outlive the window.
class SettingsView : public QDialog {
    Q_OBJECT

  public:
    SettingsView(ConnectionStore& store, IdentityStore& identities, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    // One row per trusted identity: its server, kind and fingerprint.
    QTreeWidget* identityList() const { return identityList_; }
    // Forgets the selected identity once the user confirms.
    QPushButton* forgetButton() const { return forget_; }

  private:
    QWidget* buildGeneral();
    QWidget* buildConnectionDefaults();
    QWidget* buildInput();
    QWidget* buildIdentities();
    // Shows the stored preferences.
    void refresh();
    void refreshClearLinks();
    void refreshIdentities();
    void forgetSelectedIdentity();

    ConnectionStore& store_;
    IdentityStore& identities_;
    QTabWidget* tabs_;
    QComboBox* layout_ = nullptr;
    QCheckBox* showNearby_ = nullptr;
    QCheckBox* saveThumbnails_ = nullptr;
    QPushButton* clearLinks_ = nullptr;
    QComboBox* scaling_ = nullptr;
    QComboBox* quality_ = nullptr;
    QCheckBox* shareClipboard_ = nullptr;
    QComboBox* commandMapping_ = nullptr;
    QCheckBox* sendSystemShortcuts_ = nullptr;
    QCheckBox* captureSystemKeys_ = nullptr;
    QCheckBox* hideLocalCursor_ = nullptr;
    QTreeWidget* identityList_ = nullptr;
    QPushButton* forget_ = nullptr;
};

}  // namespace tessaral
