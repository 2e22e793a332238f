#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;

namespace tessaral {

class VNCSession;

// The lock at the end of the session window's toolbar: how the connected session is protected,
// in an icon and words. Empty while there is no connection to describe.
class ProtectionBadge : public QWidget {
    Q_OBJECT

  public:
    explicit ProtectionBadge(VNCSession* session, QWidget* parent = nullptr);

    QString text() const;
    // The icon's symbol name; empty with the text.
    const QString& symbol() const { return symbol_; }

  private:
    void refresh();

    QPointer<VNCSession> session_;
    QLabel* icon_;
    QLabel* text_;
    QString symbol_;
};

}  // namespace tessaral
