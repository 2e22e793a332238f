#pragma once

#include <QImage>
#include <QOpenGLFunctions>
#include <QOpenGLTextureBlitter>
#include <QOpenGLWidget>
#include <QRectF>
#include <QRegion>
#include <functional>
#include <optional>

#include "FrameImage.hpp"

namespace tessaral {

// How the remote screen reaches the display: through an OpenGL texture, or drawn with QPainter
// where no OpenGL context can be had. TESSARAL_SCREEN=painter|opengl forces either.
enum class ScreenPath { painter, opengl };
ScreenPath screenPath();

// For measurements: called each time a frame's pixels have been handed to the screen (drawn, or
// uploaded into the texture).
void setScreenHandOverObserver(std::function<void()> observer);
void screenHandedOver();

// The frame as a texture that is updated only where the frame changed and drawn the way a
// compositor draws a window: linear when enlarging, trilinear when reducing, exact at one texel
// per pixel. Input goes through it to the view below.
class GLScreen : public QOpenGLWidget, protected QOpenGLFunctions {
    Q_OBJECT

  public:
    // `source` gives the newest frame, for as long as an upload takes.
    explicit GLScreen(std::function<std::optional<FramePaint>()> source, QWidget* parent = nullptr);
    ~GLScreen() override;

    // A new frame: `damage` (in frame pixels) is where it differs from the frame before, and is
    // uploaded from the source's newest at the next paint; a frame of another size is uploaded
    // whole. No frame is held between paints.
    void setFrame(QSize size, const QRegion& damage);
    // Where the frame is drawn, in this widget's coordinates.
    void setTarget(const QRectF& target);

  protected:
    void initializeGL() override;
    void paintGL() override;

  private:
    void upload();
    void releaseTexture();

    std::function<std::optional<FramePaint>()> source_;
    QSize frameSize_;
    QRegion pending_;
    QRectF target_;
    GLuint texture_ = 0;
    QSize textureSize_;
    bool mipmapsStale_ = true;
    QOpenGLTextureBlitter blitter_;
};

}  // namespace tessaral
