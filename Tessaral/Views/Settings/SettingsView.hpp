#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QPushButton;
class QTabWidget;

namespace tessaral {

class ConnectionStore;

// The preferences window. Every control is bound to its preference: a change is written at once,
// and a preference changed elsewhere shows in the control. `store` must outlive the window.
class SettingsView : public QDialog {
    Q_OBJECT

  public:
    explicit SettingsView(ConnectionStore& store, QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }

  private:
    QWidget* buildGeneral();
    QWidget* buildConnectionDefaults();
    QWidget* buildInput();
    // Shows the stored preferences.
    void refresh();
    void refreshClearLinks();

    ConnectionStore& store_;
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
    QCheckBox* hideLocalCursor_ = nullptr;
};

}  // namespace tessaral
