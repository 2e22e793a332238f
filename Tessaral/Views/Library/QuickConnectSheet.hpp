#pragma once

#include <QDialog>
#include <QUuid>
#include <optional>

#include "VNCAddress.hpp"

class QLineEdit;
class QListWidget;
class QPushButton;

namespace tessaral {

class ConnectionStore;

// Connects to a typed address without filling in the editor, or to one of the recent computers.
// Either choice closes the sheet (accepted) and is reported by a signal; Cancel rejects it.
class QuickConnectSheet : public QDialog {
    Q_OBJECT

  public:
    // The recent computers are read from `store` once, when the sheet is made.
    explicit QuickConnectSheet(const ConnectionStore& store, QWidget* parent = nullptr);

    static constexpr int maximumRecents = 5;

    // The address the text names, if it names one.
    static std::optional<rfb::VNCAddress> addressFromText(const QString& text);

    QLineEdit* addressField() const { return address_; }
    // Null when there are no recent computers.
    QListWidget* recentList() const { return recents_; }
    QPushButton* connectButton() const { return connect_; }

  signals:
    void connectRequested(const rfb::VNCAddress& address);
    // A recent computer was chosen; its session should open.
    void recentChosen(const QUuid& id);

  private:
    void submit();

    QLineEdit* address_;
    QListWidget* recents_ = nullptr;
    QPushButton* connect_;
};

}  // namespace tessaral
