#pragma once

#include <QDialog>

#include "Model/Connection.hpp"
#include "RFBConfiguration.hpp"

class QLineEdit;
class QPushButton;

namespace tessaral {

// What ssh asks on its way to a computer's SSH gateway, in ssh's own words: a password or key
// passphrase, typed hidden, or whether to accept a host key it has not seen before. Rejecting
// the dialog (Cancel, Escape, closing it) is the user declining.
class GatewayPromptSheet : public QDialog {
    Q_OBJECT

  public:
    GatewayPromptSheet(const Connection& connection, const rfb::event::GatewayPrompt& prompt,
                       QWidget* parent = nullptr);

    // Null for a question to confirm.
    QLineEdit* secretField() const { return secret_; }
    QPushButton* answerButton() const { return answer_; }
    QPushButton* cancelButton() const { return cancel_; }

  signals:
    // What ssh is told: the secret typed, or "yes" to a question.
    void answered(const QString& answer);

  private:
    QLineEdit* secret_ = nullptr;
    QPushButton* cancel_;
    QPushButton* answer_;
};

}  // namespace tessaral
