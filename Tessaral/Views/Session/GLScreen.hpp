#pragma once

#include <QImage>
#include <QOpenGLFunctions>
#include <QOpenGLTextureBlitter>
#include <QOpenGLWidget>
#include <QRectF>
#include <QRegion>
#include <functional>

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
    explicit GLScreen(QWidget* parent = nullptr);
    ~GLScreen() override;

    // `damage` (in frame pixels) is where `frame` differs from the frame set before; a frame of
    // another size is uploaded whole. Nothing is copied here; the image shares its pixels.
    void setFrame(const QImage& frame, const QRegion& damage);
    // Where the frame is drawn, in this widget's coordinates.
    void setTarget(const QRectF& target);

  protected:
    void initializeGL() override;
    void paintGL() override;

  private:
    void upload();
    void releaseTexture();

    QImage frame_;
    QRegion pending_;
    QRectF target_;
    GLuint texture_ = 0;
    QSize textureSize_;
    bool mipmapsStale_ = true;
    QOpenGLTextureBlitter blitter_;
};

}  // namespace tessaral
