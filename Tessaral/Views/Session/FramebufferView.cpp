#include "FramebufferView.hpp"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QWheelEvent>
#include <cmath>

#include "ScreenGeometry.hpp"
#include "VNCSession.hpp"

namespace tessaral {

namespace {

KeyRecord keyRecord(const QKeyEvent& event) {
    KeyRecord record;
    record.key = event.key();
    record.nativeKeysym = event.nativeVirtualKey();
    record.scanCode = event.nativeScanCode();
    record.text = event.text();
    record.modifiers = event.modifiers();
    record.autoRepeat = event.isAutoRepeat();
    return record;
}

QCursor transparentCursor() {
    QPixmap pixmap(1, 1);
    pixmap.fill(Qt::transparent);
    return QCursor(pixmap, 0, 0);
}

QCursor cursorFrom(const rfb::RFBCursor& cursor, double scale) {
    const rfb::RFBImage& image = cursor.image;
    // Read-only wrap of the shared words; the pixmap below is the only copy.
    const QImage shape(reinterpret_cast<const uchar*>(image.words()), image.width(), image.height(),
                       image.width() * 4, QImage::Format_ARGB32_Premultiplied);
    const int width = std::max(1, int(std::lround(image.width() * scale)));
    const int height = std::max(1, int(std::lround(image.height() * scale)));
    const QPixmap pixmap =
        QPixmap::fromImage(scale == 1.0 ? shape.copy()
                                        : shape.scaled(width, height, Qt::IgnoreAspectRatio,
                                                       Qt::SmoothTransformation));
    return QCursor(pixmap, int(cursor.hotSpot.x * scale), int(cursor.hotSpot.y * scale));
}

}  // namespace

FramebufferView::FramebufferView(QWidget* parent) : FramebufferView(screenPath(), parent) {}

FramebufferView::FramebufferView(ScreenPath path, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("remoteScreen"));
    setAccessibleName(tr("Remote screen"));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    // Every pixel is painted: the frame, or black around it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    if (path == ScreenPath::opengl) {
        glScreen_ = new GLScreen(
            [this] { return session_ ? session_->paintFrame() : std::optional<FramePaint>(); },
            this);
    }
}

void FramebufferView::setSession(VNCSession* session) {
    session_ = session;
}

bool FramebufferView::acceptsInput() const {
    return session_ && session_->acceptsInput();
}

QRectF FramebufferView::imageRect() const {
    return tessaral::imageRect(QSizeF(size()), imageSize_, scaling_);
}

bool FramebufferView::updateImage(ScalingMode scaling) {
    const QSize shownSize = session_ ? session_->frameSize() : QSize();
    const bool moved = shownSize != imageSize_ || scaling != scaling_;
    const quint64 number = session_ ? session_->frameNumber() : 0;
    const bool newFrame = number != shownFrame_;
    imageSize_ = shownSize;
    scaling_ = scaling;
    shownFrame_ = number;
    const QRegion damage = newFrame && session_ ? session_->frameDamage() : QRegion();
    if (glScreen_) {
        if (newFrame) {
            glScreen_->setFrame(shownSize, damage);
        }
        glScreen_->setTarget(imageRect());
    } else if (moved) {
        update();
    } else if (newFrame) {
        update(viewDamage(damage));
    }
    return moved;
}

QRegion FramebufferView::viewDamage(const QRegion& damage) const {
    const QRectF target = imageRect();
    if (imageSize_.isEmpty() || target.isEmpty()) {
        return {};
    }
    if (target.size() == QSizeF(imageSize_)) {
        return damage.translated(target.topLeft().toPoint());
    }
    const double scaleX = target.width() / imageSize_.width();
    const double scaleY = target.height() / imageSize_.height();
    QRegion shown;
    for (const QRect& rect : damage) {
        const QRectF mapped(target.left() + rect.x() * scaleX, target.top() + rect.y() * scaleY,
                            rect.width() * scaleX, rect.height() * scaleY);
        // A smoothed pixel blends its neighbours, so the change reaches a little further.
        shown += mapped.toAlignedRect().adjusted(-2, -2, 2, 2);
    }
    return shown;
}

void FramebufferView::updateCursor(bool hideLocal) {
    std::optional<QCursor> cursor;
    if (session_ && session_->cursor()) {
        const QRectF target = imageRect();
        const double scale = imageSize_.width() > 0 && target.width() > 0
                                 ? target.width() / imageSize_.width()
                                 : 1.0;
        cursor = cursorFrom(*session_->cursor(), scale);
    } else if (hideLocal) {
        cursor = transparentCursor();
    }
    remoteCursor_ = std::move(cursor);
    showingRemoteCursor_ = false;
    unsetCursor();
    applyCursor(mapFromGlobal(QCursor::pos()));
}

void FramebufferView::applyCursor(QPointF position) {
    const bool remote = acceptsInput() && remoteCursor_ && imageRect().contains(position);
    if (remote == showingRemoteCursor_) {
        return;
    }
    showingRemoteCursor_ = remote;
    if (remote) {
        setCursor(*remoteCursor_);
    } else {
        unsetCursor();
    }
}

bool FramebufferView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && session_) {
        // Claimed keys never trigger the application's shortcuts: Ctrl+W or Ctrl+Q belong to the
        // remote computer while it has the keyboard.
        if (session_->claims(keyRecord(*static_cast<QKeyEvent*>(event)))) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void FramebufferView::paintEvent(QPaintEvent* event) {
    if (glScreen_) {
        return;  // covered by the OpenGL screen
    }
    QPainter painter(this);
    const QRectF target = imageRect();
    // The newest frame, which may be newer than the damage that asked for this paint: what
    // else it changed is painted after the next frameChanged().
    const std::optional<FramePaint> frame = session_ ? session_->paintFrame() : std::nullopt;
    if (!frame || target.isEmpty()) {
        painter.fillRect(event->rect(), Qt::black);
        return;
    }
    // Black only where the image leaves a margin; its fractional edge pixels get both.
    const QRect inner(
        QPoint(int(std::ceil(target.left())), int(std::ceil(target.top()))),
        QPoint(int(std::floor(target.right())) - 1, int(std::floor(target.bottom())) - 1));
    const QRegion margins = event->region() - QRegion(inner);
    for (const QRect& rect : margins) {
        painter.fillRect(rect, Qt::black);
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform, target.size() != QSizeF(imageSize_));
    painter.drawImage(target, frame->image());
    screenHandedOver();
}

void FramebufferView::send(const std::vector<PointerAction>& actions) {
    if (!session_) {
        return;
    }
    for (const PointerAction& action : actions) {
        session_->pointer(action.x, action.y, action.buttons);
    }
}

void FramebufferView::keyPressEvent(QKeyEvent* event) {
    if (!acceptsInput()) {
        QWidget::keyPressEvent(event);
        return;
    }
    session_->keyPress(keyRecord(*event));
    event->accept();
}

void FramebufferView::keyReleaseEvent(QKeyEvent* event) {
    if (!acceptsInput()) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    session_->keyRelease(keyRecord(*event));
    event->accept();
}

void FramebufferView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
    }
    send(pointer_.press(event->button(), event->position(), imageRect(), imageSize_));
    event->accept();
}

void FramebufferView::mouseReleaseEvent(QMouseEvent* event) {
    send(pointer_.release(event->button(), event->position(), imageRect(), imageSize_));
    event->accept();
}

void FramebufferView::mouseMoveEvent(QMouseEvent* event) {
    applyCursor(event->position());
    send(pointer_.move(event->position(), imageRect(), imageSize_));
    event->accept();
}

void FramebufferView::wheelEvent(QWheelEvent* event) {
    if (!acceptsInput()) {
        // The surrounding scroll area scrolls an actual-size screen instead.
        event->ignore();
        return;
    }
    WheelRecord wheel;
    wheel.position = event->position();
    wheel.angleDelta = event->angleDelta();
    wheel.pixelDelta = event->pixelDelta();
    wheel.gestureEnded = event->phase() == Qt::ScrollEnd;
    send(pointer_.wheel(wheel, imageRect(), imageSize_));
    event->accept();
}

void FramebufferView::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    if (session_) {
        session_->syncLocalClipboardIfChanged();
    }
}

void FramebufferView::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    releaseInput();
}

void FramebufferView::releaseInput() {
    if (!session_) {
        pointer_.releaseAll({}, {}, {});
        return;
    }
    session_->releaseAllKeys();
    send(pointer_.releaseAll(mapFromGlobal(QCursor::pos()), imageRect(), imageSize_));
}

void FramebufferView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (glScreen_) {
        glScreen_->setGeometry(rect());
        glScreen_->setTarget(imageRect());
    }
    applyCursor(mapFromGlobal(QCursor::pos()));
}

bool FramebufferView::focusNextPrevChild(bool) {
    // Tab belongs to the remote computer.
    return false;
}

}  // namespace tessaral
