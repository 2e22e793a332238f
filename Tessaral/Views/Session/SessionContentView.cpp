#include "SessionContentView.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QVariantAnimation>

#include "FramebufferView.hpp"
#include "RemoteScreenView.hpp"
#include "StatePanel.hpp"
#include "VNCSession.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

constexpr qreal dimmedOpacity = 0.35;
constexpr int noticeTop = 12;

}  // namespace

SessionContentView::SessionContentView(VNCSession* session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      screen_(new RemoteScreenView(session, this)),
      dimming_(new QWidget(this)),
      panel_(new StatePanel(this)),
      notice_(new QFrame(this)),
      noticeText_(new QLabel),
      dimAnimation_(new QVariantAnimation(this)),
      noticeAnimation_(new QPropertyAnimation(notice_, "pos", this)) {
    setObjectName(QStringLiteral("sessionContent"));
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);
    setFocusProxy(screen_);

    // The screen is drawn on black, so a translucent black layer over it looks exactly like the
    // screen at lower opacity, without rendering the screen through an effect on every frame.
    dimming_->setObjectName(QStringLiteral("dimming"));
    dimming_->setAttribute(Qt::WA_TransparentForMouseEvents);
    dimming_->setAutoFillBackground(true);
    dimming_->hide();
    dimAnimation_->setDuration(200);
    dimAnimation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(dimAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setDimming(value.toReal()); });

    notice_->setObjectName(QStringLiteral("clipboardNotice"));
    notice_->setAttribute(Qt::WA_TransparentForMouseEvents);
    notice_->setStyleSheet(QStringLiteral(
        "#clipboardNotice { background-color: rgba(36, 36, 38, 225); border-radius: 16px; "
        "border: 1px solid rgba(255, 255, 255, 40); } QLabel { color: white; }"));
    auto* icon = new QLabel;
    icon->setPixmap(
        tintedSymbol(QStringLiteral("doc.on.clipboard"), Qt::white, 16, devicePixelRatioF()));
    QFont callout = noticeText_->font();
    callout.setWeight(QFont::Medium);
    noticeText_->setFont(callout);
    noticeText_->setObjectName(QStringLiteral("clipboardNoticeText"));
    auto* noticeLayout = new QHBoxLayout(notice_);
    noticeLayout->setContentsMargins(14, 7, 16, 7);
    noticeLayout->setSpacing(7);
    noticeLayout->addWidget(icon);
    noticeLayout->addWidget(noticeText_);
    notice_->hide();
    noticeAnimation_->setDuration(300);
    noticeAnimation_->setEasingCurve(QEasingCurve::OutCubic);
    connect(noticeAnimation_, &QPropertyAnimation::finished, this, [this] {
        if (!noticeShown_) {
            notice_->hide();
        }
    });

    connect(panel_, &StatePanel::closeRequested, this, &SessionContentView::closeRequested);
    connect(panel_, &StatePanel::reconnectRequested, this, [this] {
        if (session_) {
            session_->connect();
        }
    });
    connect(session, &VNCSession::stateChanged, this, &SessionContentView::stateChanged);
    connect(session, &VNCSession::clipboardActivityChanged, this,
            &SessionContentView::clipboardActivityChanged);
    refusalShown_.setSingleShot(true);
    connect(&refusalShown_, &QTimer::timeout, this, [this] { showNotice(std::nullopt); });
    connect(session, &VNCSession::resizeRefused, this, [this] {
        showNotice(session_->resizeRefusal());
        refusalShown_.start(5000);
    });

    stateChanged();
    if (dimAnimation_->state() == QAbstractAnimation::Running) {
        // The first state is shown as it is, not faded into.
        dimAnimation_->stop();
        setDimming(targetOpacity_);
    }
}

void SessionContentView::stateChanged() {
    if (!session_) {
        return;
    }
    const bool connected = session_->state().kind == VNCSession::State::Kind::connected;
    const qreal opacity = connected ? 1.0 : dimmedOpacity;
    if (opacity != targetOpacity_) {
        const qreal from = dimAnimation_->state() == QAbstractAnimation::Running
                               ? dimAnimation_->currentValue().toReal()
                               : targetOpacity_;
        targetOpacity_ = opacity;
        dimAnimation_->stop();
        dimAnimation_->setStartValue(from);
        dimAnimation_->setEndValue(opacity);
        dimAnimation_->start();
    }
    panel_->showState(session_->state(), session_->connection().name);
    placeOverlays();
    if (connected) {
        screen_->setFocus();
    }
}

void SessionContentView::setDimming(qreal opacity) {
    if (opacity >= 1.0) {
        dimming_->hide();
        return;
    }
    QPalette palette = dimming_->palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 0, int((1.0 - opacity) * 255 + 0.5)));
    dimming_->setPalette(palette);
    dimming_->show();
    dimming_->stackUnder(panel_);
}

void SessionContentView::clipboardActivityChanged() {
    if (session_) {
        showNotice(session_->clipboardActivity());
    }
}

void SessionContentView::showNotice(const std::optional<QString>& text) {
    noticeShown_ = text.has_value();
    noticeAnimation_->stop();
    if (text) {
        noticeText_->setText(*text);
        notice_->adjustSize();
        if (!notice_->isVisible()) {
            notice_->move(noticePosition(false));
            notice_->show();
        }
        notice_->raise();
        noticeAnimation_->setStartValue(notice_->pos());
        noticeAnimation_->setEndValue(noticePosition(true));
    } else {
        noticeAnimation_->setStartValue(notice_->pos());
        noticeAnimation_->setEndValue(noticePosition(false));
    }
    noticeAnimation_->start();
}

QPoint SessionContentView::noticePosition(bool shown) const {
    const int x = (width() - notice_->width()) / 2;
    return {x, shown ? noticeTop : -notice_->height()};
}

void SessionContentView::placeOverlays() {
    screen_->setGeometry(rect());
    dimming_->setGeometry(rect());
    if (panel_->isVisible()) {
        panel_->adjustSize();
        panel_->move((width() - panel_->width()) / 2, (height() - panel_->height()) / 2);
    }
    if (notice_->isVisible() && noticeAnimation_->state() != QAbstractAnimation::Running) {
        notice_->move(noticePosition(noticeShown_));
    }
}

void SessionContentView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeOverlays();
}

}  // namespace tessaral
