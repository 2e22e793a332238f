#pragma once

#include <QToolBar>

namespace tessaral {

class SessionActions;

// The session window's controls: scaling, observe mode, keys, clipboard, quality, screenshot and
// disconnect; a status the window adds stands at the far end.
class SessionToolbar : public QToolBar {
    Q_OBJECT

  public:
    SessionToolbar(const SessionActions& actions, QWidget* parent);

    // Shows `status` at the far end, after the controls.
    void addStatus(QWidget* status);

  private:
    void addMenu(QMenu* menu);
};

}  // namespace tessaral
