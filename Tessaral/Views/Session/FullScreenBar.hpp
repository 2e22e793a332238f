#pragma once

#include <QWidget>

class QAction;

namespace tessaral {

class VNCSession;

// The slim bar that a full-screen session window shows while the pointer is at the screen's
// top edge: the computer's name, how the session is protected, and the way out.
class FullScreenBar : public QWidget {
    Q_OBJECT

  public:
    // `fullScreen` is the window's toggle, which reads "Exit Full Screen" while the bar is used.
    FullScreenBar(VNCSession* session, QAction* fullScreen, QWidget* window);

    // Shows the bar at the top edge, hides it once the pointer left it; `y` is the pointer's
    // height in the window.
    void pointerMoved(int y);
};

}  // namespace tessaral
