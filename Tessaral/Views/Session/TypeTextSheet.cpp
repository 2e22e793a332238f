#include "TypeTextSheet.hpp"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include "Views/FormParts.hpp"

namespace tessaral {

TypeTextSheet::TypeTextSheet(QWidget* parent)
    : QDialog(parent), editor_(new QPlainTextEdit), type_(new QPushButton(tr("Type"))) {
    setObjectName(QStringLiteral("typeTextSheet"));
    setWindowTitle(tr("Type Text"));
    setWindowModality(Qt::WindowModal);

    auto* title = sheetTitle(tr("Type Text"));
    auto* explanation =
        new QLabel(tr("The text is sent as individual keystrokes, which works even where pasting "
                      "doesn’t."));
    explanation->setWordWrap(true);
    editor_->setObjectName(QStringLiteral("typeTextEditor"));
    editor_->setMinimumHeight(120);
    editor_->setTabChangesFocus(true);

    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    type_->setObjectName(QStringLiteral("typeButton"));
    type_->setDefault(true);
    type_->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(explanation);
    layout->addWidget(editor_, 1);
    layout->addLayout(sheetButtons(cancel, type_));
    resize(440, 280);

    connect(editor_, &QPlainTextEdit::textChanged, this,
            [this] { type_->setEnabled(!editor_->toPlainText().isEmpty()); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(type_, &QPushButton::clicked, this, [this] {
        const QString text = editor_->toPlainText();
        if (text.isEmpty()) {
            return;
        }
        accept();
        emit send(text);
    });
    // Return belongs to the editor (a text may have several lines), so Ctrl+Return types.
    auto* typeKey = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Return")), this);
    connect(typeKey, &QShortcut::activated, type_, &QPushButton::click);
    editor_->setFocus();
}

}  // namespace tessaral
