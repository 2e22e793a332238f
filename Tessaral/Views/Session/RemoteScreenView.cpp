#include "RemoteScreenView.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <cmath>

#include "FramebufferView.hpp"
#include "Model/AppSettings.hpp"
#include "ScreenGeometry.hpp"
#include "VNCSession.hpp"

namespace tessaral {

RemoteScreenView::RemoteScreenView(VNCSession* session, QWidget* parent)
    : QScrollArea(parent), session_(session), view_(new FramebufferView) {
    setObjectName(QStringLiteral("remoteScreenView"));
    setFrameShape(QFrame::NoFrame);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setWidgetResizable(false);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    viewport()->setPalette(black);
    viewport()->setAutoFillBackground(true);
    setFocusProxy(view_);

    view_->setSession(session);
    setWidget(view_);

    connect(session, &VNCSession::frameChanged, this, &RemoteScreenView::frameChanged);
    connect(session, &VNCSession::cursorChanged, this, &RemoteScreenView::updateCursor);
    connect(session, &VNCSession::optionsChanged, this, &RemoteScreenView::optionsOrStateChanged);
    connect(session, &VNCSession::stateChanged, this, &RemoteScreenView::optionsOrStateChanged);
    connect(session, &VNCSession::scalingChanged, this, &RemoteScreenView::optionsOrStateChanged);
    connect(&AppSettings::instance(), &AppSettings::changed, this, [this](const QString& key) {
        if (key == AppSettings::hideLocalCursorKey) {
            updateCursor();
        }
    });
    optionsOrStateChanged();
    frameChanged();
}

void RemoteScreenView::showEvent(QShowEvent* event) {
    QScrollArea::showEvent(event);
    followScreenRefresh();
    if (QWindow* shownIn = window()->windowHandle()) {
        connect(shownIn, &QWindow::screenChanged, this, &RemoteScreenView::followScreenRefresh,
                Qt::UniqueConnection);
    }
}

void RemoteScreenView::followScreenRefresh() {
    if (session_ && screen()) {
        session_->setRefreshRate(screen()->refreshRate());
    }
}

void RemoteScreenView::frameChanged() {
    if (!session_) {
        return;
    }
    if (view_->updateImage(session_->scaling())) {
        layoutView();
    }
    if (!session_->frameSize().isEmpty()) {
        sizeWindowToScreen();
    }
}

void RemoteScreenView::optionsOrStateChanged() {
    if (!session_) {
        return;
    }
    if (view_->updateImage(session_->scaling())) {
        layoutView();
    }
    // The remote cursor shows only while input is on.
    updateCursor();
}

void RemoteScreenView::updateCursor() {
    view_->updateCursor(AppSettings::hideLocalCursor());
}

bool RemoteScreenView::viewportEvent(QEvent* event) {
    // Scroll bars coming and going resize the viewport without resizing this widget.
    if (event->type() == QEvent::Resize) {
        layoutView();
        // Not before the first frame: the window then takes the remote screen's size first, and
        // the remote follows only the sizes given to the window after that.
        if (session_ && !session_->frameSize().isEmpty()) {
            session_->setViewSize(viewport()->size() * viewport()->devicePixelRatioF());
        }
    }
    return QScrollArea::viewportEvent(event);
}

void RemoteScreenView::layoutView() {
    const QSizeF size = viewSize(QSizeF(viewport()->size()), view_->imageSize(), view_->scaling());
    const QSize whole(int(std::ceil(size.width())), int(std::ceil(size.height())));
    if (view_->size() != whole) {
        view_->resize(whole);
    }
    // Fitting never scrolls; the bars would only steal room from the image.
    const Qt::ScrollBarPolicy policy =
        view_->scaling() == ScalingMode::fit ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded;
    setHorizontalScrollBarPolicy(policy);
    setVerticalScrollBarPolicy(policy);
    updateCursor();
}

void RemoteScreenView::sizeWindowToScreen() {
    QWidget* window = this->window();
    if (didSizeWindow_ || !window->isVisible() || window->isFullScreen() ||
        view_->imageSize().width() <= 0) {
        return;
    }
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        return;
    }
    didSizeWindow_ = true;
    const QRect frame = window->frameGeometry();
    const int chrome = frame.height() - height();
    const QRect target = windowFrameFor(view_->imageSize(), screen->availableGeometry(), chrome);
    // What the window adds around this view inside its own geometry: menus and toolbar above,
    // nothing at the sides.
    const int extraWidth = window->width() - width();
    const int extraHeight = window->height() - height();
    const int contentHeight = target.height() - chrome;
    window->resize(target.width() + extraWidth, contentHeight + extraHeight);
    window->move(target.topLeft());
}

}  // namespace tessaral
