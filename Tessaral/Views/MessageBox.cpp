#include "MessageBox.hpp"

#include <QMessageBox>
#include <QPushButton>

namespace tessaral {

std::optional<bool> MessageBox::nextAnswer_;
QString MessageBox::lastTitle_;
QString MessageBox::lastText_;

std::optional<bool> MessageBox::take(const QString& title, const QString& text) {
    lastTitle_ = title;
    lastText_ = text;
    return std::exchange(nextAnswer_, std::nullopt);
}

bool MessageBox::confirmDestructive(QWidget* parent, const QString& title, const QString& text,
                                    const QString& confirmTitle) {
    if (const std::optional<bool> answer = take(title, text)) {
        return *answer;
    }
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::NoButton, parent);
    box.setWindowModality(Qt::WindowModal);
    QPushButton* confirm = box.addButton(confirmTitle, QMessageBox::DestructiveRole);
    box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == confirm;
}

void MessageBox::inform(QWidget* parent, const QString& title, const QString& text) {
    if (take(title, text)) {
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
}

void MessageBox::setNextAnswer(bool confirm) {
    nextAnswer_ = confirm;
}

}  // namespace tessaral
