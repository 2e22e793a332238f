#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace tessaral {

// Asks for a text that the session types on the remote computer as keystrokes.
class TypeTextSheet : public QDialog {
    Q_OBJECT

  public:
    explicit TypeTextSheet(QWidget* parent = nullptr);

    QPlainTextEdit* editor() const { return editor_; }
    QPushButton* typeButton() const { return type_; }

  signals:
    void send(const QString& text);

  private:
    QPlainTextEdit* editor_;
    QPushButton* type_;
};

}  // namespace tessaral
