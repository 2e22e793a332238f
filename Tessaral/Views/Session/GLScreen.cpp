#include "GLScreen.hpp"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <cmath>
#include <filesystem>

namespace tessaral {

namespace {

std::function<void()>& handOverObserver() {
    static std::function<void()> observer;
    return observer;
}

// Without a GPU render node the only OpenGL there is rasterises on the CPU. Asking the driver would
// load it (Mesa's LLVM, some 50 MB resident for the life of the process) only to learn that.
bool gpuReachable() {
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/dev/dri", error), end; !error && entry != end;
         entry.increment(error)) {
        if (entry->path().filename().string().starts_with("renderD")) {
            return true;
        }
    }
    // NVIDIA's own driver without its DRM module has no render node.
    return std::filesystem::exists("/dev/nvidiactl", error);
}

bool openGLWorks() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal") ||
        !gpuReachable()) {
        return false;
    }
    QOpenGLContext context;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    // Frames are uploaded as BGRA, which OpenGL ES lacks without an extension.
    if (!context.create() || context.isOpenGLES() || !context.makeCurrent(&surface)) {
        return false;
    }
    // A renderer that rasterises on the CPU (virtual machines, Xvfb, remote desktops) costs several
    // times the painter's CPU for the same frames, as the viewer benchmarks show.
    const auto* renderer =
        reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    const QByteArray name = QByteArray(renderer ? renderer : "").toLower();
    const bool software = name.contains("llvmpipe") || name.contains("softpipe") ||
                          name.contains("swrast") || name.contains("software");
    context.doneCurrent();
    return !software;
}

}  // namespace

ScreenPath screenPath() {
    static const ScreenPath path = [] {
        const QByteArray forced = qgetenv("TESSARAL_SCREEN");
        if (forced == "painter" || forced == "opengl") {
            return forced == "painter" ? ScreenPath::painter : ScreenPath::opengl;
        }
        return openGLWorks() ? ScreenPath::opengl : ScreenPath::painter;
    }();
    return path;
}

void setScreenHandOverObserver(std::function<void()> observer) {
    handOverObserver() = std::move(observer);
}

void screenHandedOver() {
    if (handOverObserver()) {
        handOverObserver()();
    }
}

GLScreen::GLScreen(std::function<std::optional<FramePaint>()> source, QWidget* parent)
    : QOpenGLWidget(parent), source_(std::move(source)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

GLScreen::~GLScreen() {
    if (context()) {
        makeCurrent();
        releaseTexture();
        blitter_.destroy();
        doneCurrent();
    }
}

void GLScreen::setFrame(QSize size, const QRegion& damage) {
    if (size != frameSize_) {
        pending_ = QRect(QPoint(), size);
    } else {
        pending_ += damage;
    }
    frameSize_ = size;
    update();
}

void GLScreen::setTarget(const QRectF& target) {
    if (target != target_) {
        target_ = target;
        update();
    }
}

void GLScreen::initializeGL() {
    initializeOpenGLFunctions();
    // A new context (the widget moved to another window) has none of the old texture.
    texture_ = 0;
    textureSize_ = QSize();
    blitter_.create();
}

void GLScreen::releaseTexture() {
    if (texture_ != 0) {
        glDeleteTextures(1, &texture_);
        texture_ = 0;
    }
}

// The texture takes the newest frame's size, which may be newer than the damage: a frame of
// another size is uploaded whole, and setFrame() brings the rest.
void GLScreen::upload() {
    if (texture_ != 0 && textureSize_ == frameSize_ && pending_.isEmpty()) {
        glBindTexture(GL_TEXTURE_2D, texture_);
        return;
    }
    const std::optional<FramePaint> paint = source_();
    if (!paint) {
        return;
    }
    const QImage& frame = paint->image();
    if (texture_ == 0 || textureSize_ != frame.size()) {
        releaseTexture();
        glGenTextures(1, &texture_);
        glBindTexture(GL_TEXTURE_2D, texture_);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, frame.width(), frame.height(), 0, GL_BGRA,
                     GL_UNSIGNED_BYTE, nullptr);
        textureSize_ = frame.size();
        pending_ = QRect(QPoint(), frame.size());
    }
    glBindTexture(GL_TEXTURE_2D, texture_);
    if (pending_.isEmpty()) {
        return;
    }
    // 0xFFRRGGBB words are B, G, R, A bytes in memory on the little-endian machines we run on.
    const auto* words = reinterpret_cast<const std::uint32_t*>(frame.constBits());
    const int stride = int(frame.bytesPerLine() / 4);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, stride);
    for (const QRect& rect : pending_& QRect(QPoint(), frame.size())) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, rect.x(), rect.y(), rect.width(), rect.height(), GL_BGRA,
                        GL_UNSIGNED_BYTE, words + std::size_t(rect.y()) * stride + rect.x());
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    pending_ = QRegion();
    mipmapsStale_ = true;
    screenHandedOver();
}

void GLScreen::paintGL() {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    if (frameSize_.isEmpty() || target_.isEmpty()) {
        return;
    }
    upload();
    if (texture_ == 0) {
        return;
    }
    const qreal ratio = devicePixelRatioF();
    const QRectF target(target_.topLeft() * ratio, target_.size() * ratio);
    const bool exact =
        target.size() == QSizeF(textureSize_) && target.topLeft() == target.topLeft().toPoint();
    const bool reducing =
        target.width() < textureSize_.width() || target.height() < textureSize_.height();
    GLint minFilter = GL_LINEAR;
    if (exact) {
        minFilter = GL_NEAREST;
    } else if (reducing) {
        if (mipmapsStale_) {
            glGenerateMipmap(GL_TEXTURE_2D);
            mipmapsStale_ = false;
        }
        minFilter = GL_LINEAR_MIPMAP_LINEAR;
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, minFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, exact ? GL_NEAREST : GL_LINEAR);

    const QRect viewport(
        QPoint(), QSize(int(std::lround(width() * ratio)), int(std::lround(height() * ratio))));
    blitter_.bind();
    blitter_.blit(texture_, QOpenGLTextureBlitter::targetTransform(target, viewport),
                  QOpenGLTextureBlitter::OriginTopLeft);
    blitter_.release();
}

}  // namespace tessaral
