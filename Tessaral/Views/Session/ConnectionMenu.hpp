#pragma once

#include <QMenu>

namespace tessaral {

class SessionActions;

// The "Connection" menu of a window: its session's commands, in the menu's order.
class ConnectionMenu : public QMenu {
    Q_OBJECT

  public:
    ConnectionMenu(const SessionActions& actions, QWidget* parent);
};

}  // namespace tessaral
