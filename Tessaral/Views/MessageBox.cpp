#include "MessageBox.hpp"

#include <QMessageBox>
#include <QPushButton>

namespace tessaral {

namespace {

// The title is the box's own text too: many window managers show no title bar on a modal dialog.
void describe(QMessageBox& box, const QString& title, const QString& text) {
    box.setWindowTitle(title);
    box.setText(title);
    box.setInformativeText(text);
    box.setWindowModality(Qt::WindowModal);
}

}  // namespace

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
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Warning);
    describe(box, title, text);
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
    QMessageBox box(parent);
    describe(box, title, text);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

void MessageBox::setNextAnswer(bool confirm) {
    nextAnswer_ = confirm;
}

}  // namespace tessaral
