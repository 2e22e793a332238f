#include "EmptyStateView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "Views/Icons.hpp"

namespace tessaral {

EmptyStateView::EmptyStateView(QWidget* parent)
    : QWidget(parent),
      icon_(new QLabel),
      title_(new QLabel),
      text_(new QLabel),
      buttons_(new QWidget) {
    setObjectName(QStringLiteral("emptyState"));
    title_->setObjectName(QStringLiteral("emptyStateTitle"));
    text_->setObjectName(QStringLiteral("emptyStateMessage"));
    QFont font = title_->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setWeight(QFont::DemiBold);
    title_->setFont(font);
    text_->setWordWrap(true);
    text_->setFixedWidth(420);
    QPalette secondary = text_->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    text_->setPalette(secondary);
    auto* buttonRow = new QHBoxLayout(buttons_);
    buttonRow->setContentsMargins(0, 8, 0, 0);

    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    for (QLabel* label : {icon_, title_, text_}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label, 0, Qt::AlignHCenter);
    }
    layout->addWidget(buttons_, 0, Qt::AlignHCenter);
    layout->addStretch();
}

void EmptyStateView::present(const QString& symbol, const QString& title, const QString& text) {
    const QIcon icon = symbolIcon(symbol);
    icon_->setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(QSize(48, 48), devicePixelRatioF()));
    icon_->setVisible(!icon.isNull());
    title_->setText(title);
    text_->setText(text);
    // An aligned layout item gets its size hint, not the height its wrapped lines need.
    text_->setFixedHeight(text_->heightForWidth(text_->width()));
    text_->setVisible(!text.isEmpty());
    for (QPushButton* button : buttons_->findChildren<QPushButton*>()) {
        delete button;
    }
    buttons_->hide();
}

QPushButton* EmptyStateView::addButton(const QString& title, bool prominent) {
    auto* button = new QPushButton(title);
    button->setDefault(prominent);
    buttons_->layout()->addWidget(button);
    buttons_->show();
    return button;
}

QString EmptyStateView::title() const {
    return title_->text();
}

QString EmptyStateView::text() const {
    return text_->text();
}

}  // namespace tessaral
