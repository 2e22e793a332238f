#include "StatePanel.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>

#include "Views/Icons.hpp"

namespace tessaral {

namespace {

QFont scaledFont(const QFont& base, qreal factor, QFont::Weight weight) {
    QFont font = base;
    font.setPointSizeF(base.pointSizeF() * factor);
    font.setWeight(weight);
    return font;
}

QPalette darkPalette(QPalette palette) {
    const QColor text(Qt::white);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(role, text);
    }
    palette.setColor(QPalette::Window, QColor(28, 28, 30));
    palette.setColor(QPalette::Button, QColor(72, 72, 76));
    palette.setColor(QPalette::Base, QColor(44, 44, 46));
    palette.setColor(QPalette::Highlight, QColor(10, 132, 255));
    palette.setColor(QPalette::HighlightedText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(255, 255, 255, 140));
    return palette;
}

}  // namespace

StatePanel::StatePanel(QWidget* parent)
    : QWidget(parent),
      progress_(new QProgressBar),
      icon_(new QLabel),
      title_(new QLabel),
      message_(new QLabel),
      cancel_(new QPushButton(tr("Cancel"))),
      close_(new QPushButton(tr("Close"))),
      reconnect_(new QPushButton(tr("Reconnect"))) {
    setObjectName(QStringLiteral("statePanel"));
    setPalette(darkPalette(palette()));

    progress_->setObjectName(QStringLiteral("progressIndicator"));
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(160);
    icon_->setAlignment(Qt::AlignCenter);
    title_->setObjectName(QStringLiteral("statePanelTitle"));
    title_->setAlignment(Qt::AlignCenter);
    message_->setObjectName(QStringLiteral("statePanelMessage"));
    message_->setAlignment(Qt::AlignCenter);
    message_->setWordWrap(true);
    QPalette secondary = message_->palette();
    secondary.setColor(QPalette::WindowText, QColor(255, 255, 255, 165));
    message_->setPalette(secondary);
    cancel_->setObjectName(QStringLiteral("cancelButton"));
    close_->setObjectName(QStringLiteral("closeButton"));
    reconnect_->setObjectName(QStringLiteral("reconnectButton"));
    for (QPushButton* button : {cancel_, close_, reconnect_}) {
        button->setFocusPolicy(Qt::NoFocus);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel_);
    buttons->addWidget(close_);
    buttons->addWidget(reconnect_);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 32, 32, 32);
    layout->setSpacing(14);
    layout->addWidget(progress_, 0, Qt::AlignHCenter);
    layout->addWidget(icon_, 0, Qt::AlignHCenter);
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addWidget(message_, 0, Qt::AlignHCenter);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(cancel_, &QPushButton::clicked, this, &StatePanel::closeRequested);
    connect(close_, &QPushButton::clicked, this, &StatePanel::closeRequested);
    connect(reconnect_, &QPushButton::clicked, this, &StatePanel::reconnectRequested);
    // The panel's keys work wherever the focus is in the window, the screen included, since the
    // screen passes every key on while it is not connected.
    escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    returnKey_ = new QShortcut(QKeySequence(Qt::Key_Return), this);
    enterKey_ = new QShortcut(QKeySequence(Qt::Key_Enter), this);
    connect(escape_, &QShortcut::activated, this, &StatePanel::closeRequested);
    connect(returnKey_, &QShortcut::activated, this, &StatePanel::reconnectRequested);
    connect(enterKey_, &QShortcut::activated, this, &StatePanel::reconnectRequested);
    hide();
}

QString StatePanel::title() const {
    return title_->text();
}

QString StatePanel::message() const {
    return message_->text();
}

void StatePanel::showState(const VNCSession::State& state, const QString& connectionName) {
    using Kind = VNCSession::State::Kind;
    switch (state.kind) {
        case Kind::idle:
        case Kind::connecting:
            showProgress(tr("Connecting to %1…").arg(connectionName));
            break;
        case Kind::authenticating:
            showProgress(tr("Authenticating…"));
            break;
        case Kind::disconnected:
            showStatus(QStringLiteral("bolt.horizontal.circle"), tr("Disconnected"),
                       tr("The session with %1 has ended.").arg(connectionName));
            break;
        case Kind::failed:
            showStatus(QStringLiteral("exclamationmark.triangle"), tr("Couldn’t Connect"),
                       state.message);
            break;
        case Kind::connected:
        case Kind::needsCredentials:
        case Kind::needsTrust:
        case Kind::needsGatewayAnswer:
            hide();
            escape_->setEnabled(false);
            returnKey_->setEnabled(false);
            enterKey_->setEnabled(false);
            return;
    }
    show();
    raise();
}

void StatePanel::showProgress(const QString& text) {
    progress_->show();
    icon_->hide();
    title_->setFont(scaledFont(font(), 1.25, QFont::Medium));
    title_->setText(text);
    message_->clear();
    message_->hide();
    cancel_->show();
    close_->hide();
    reconnect_->hide();
    escape_->setEnabled(true);
    returnKey_->setEnabled(false);
    enterKey_->setEnabled(false);
}

void StatePanel::showStatus(const QString& symbol, const QString& title, const QString& message) {
    progress_->hide();
    icon_->setPixmap(tintedSymbol(symbol, Qt::white, 40, devicePixelRatioF()));
    icon_->show();
    title_->setFont(scaledFont(font(), 1.4, QFont::DemiBold));
    title_->setText(title);
    message_->setText(message);
    // A wrapping label asks for a narrow column; give it the room of its text, up to 360.
    message_->setFixedWidth(std::min(360, message_->fontMetrics().horizontalAdvance(message) + 8));
    message_->setVisible(!message.isEmpty());
    cancel_->hide();
    close_->show();
    reconnect_->show();
    reconnect_->setDefault(true);
    escape_->setEnabled(true);
    returnKey_->setEnabled(true);
    enterKey_->setEnabled(true);
}

void StatePanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 24, 24);
    painter.fillPath(path, QColor(36, 36, 38, 225));
    painter.setPen(QColor(255, 255, 255, 40));
    painter.drawPath(path);
}

}  // namespace tessaral
