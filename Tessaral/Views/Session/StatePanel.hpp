#pragma once

#include <QWidget>

#include "VNCSession.hpp"

class QLabel;
class QProgressBar;
class QPushButton;
class QShortcut;

namespace tessaral {

// The dark rounded panel over the dimmed screen for every state but connected and those a sheet
// asks about (credentials, trust): progress while connecting, the outcome when the session ended.
class StatePanel : public QWidget {
    Q_OBJECT

  public:
    explicit StatePanel(QWidget* parent = nullptr);

    // Shows the panel for `state`, or hides it when the state has none.
    void showState(const VNCSession::State& state, const QString& connectionName);

    QString title() const;
    QString message() const;

  signals:
    void closeRequested();
    void reconnectRequested();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void showProgress(const QString& text);
    void showStatus(const QString& symbol, const QString& title, const QString& message);

    QProgressBar* progress_;
    QLabel* icon_;
    QLabel* title_;
    QLabel* message_;
    QPushButton* cancel_;
    QPushButton* close_;
    QPushButton* reconnect_;
    QShortcut* escape_;
    QShortcut* returnKey_;
    QShortcut* enterKey_;
};

}  // namespace tessaral
