#include "FormParts.hpp"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tessaral {

QFormLayout* formLayout(QWidget* parent) {
    auto* form = new QFormLayout(parent);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return form;
}

QLabel* footnote(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    QFont small = label->font();
    small.setPointSizeF(small.pointSizeF() * 0.9);
    label->setFont(small);
    return label;
}

QLabel* sheetTitle(const QString& text) {
    auto* title = new QLabel(text);
    QFont headline = title->font();
    headline.setPointSizeF(headline.pointSizeF() * 1.15);
    headline.setWeight(QFont::DemiBold);
    title->setFont(headline);
    return title;
}

QHBoxLayout* sheetHeading(QLabel* icon, QLabel* title, QLabel* message) {
    message->setWordWrap(true);
    auto* texts = new QVBoxLayout;
    texts->addWidget(title);
    texts->addWidget(message);
    auto* heading = new QHBoxLayout;
    heading->addWidget(icon, 0, Qt::AlignTop);
    heading->addLayout(texts, 1);
    return heading;
}

QHBoxLayout* sheetButtons(QPushButton* cancel, QPushButton* answer) {
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(answer);
    return buttons;
}

}  // namespace tessaral
