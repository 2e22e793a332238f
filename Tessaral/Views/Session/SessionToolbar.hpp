#pragma once

#include <QToolBar>

namespace tessaral {

class SessionActions;

// The session window's controls: scaling, observe mode, keys, clipboard, quality, screenshot and
// disconnect.
class SessionToolbar : public QToolBar {
    Q_OBJECT

  public:
    SessionToolbar(const SessionActions& actions, QWidget* parent);

  private:
    void addMenu(QMenu* menu);
};

}  // namespace tessaral
