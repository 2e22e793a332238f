#pragma once

#include <QObject>
#include <functional>

class QAction;
class QMainWindow;

namespace tessaral {

class AppState;
class ConnectionMenu;
class ConnectionStore;

// The application's menus, the same on every window: File, Edit, Connection, Window and Help.
// The Connection menu is the window's own, acting on its session (none in the library window, so
// there it is all disabled).
class AppCommands : public QObject {
    Q_OBJECT

  public:
    struct Windows {
        // Opens the library window or brings it forward.
        std::function<void()> showLibrary;
        // Opens the settings window; none leaves Preferences… disabled.
        std::function<void()> showPreferences;
    };

    // `store` and `appState` must outlive the commands.
    AppCommands(ConnectionStore& store, AppState& appState, Windows windows,
                QObject* parent = nullptr);

    // Gives `window` the application's menu bar, with `connectionMenu` (kept by the window) as
    // its Connection menu. Returns the window's Delete command, disabled until the window
    // enables it.
    QAction* install(QMainWindow* window, ConnectionMenu* connectionMenu);

  private:
    ConnectionStore& store_;
    AppState& appState_;
    Windows windows_;
};

}  // namespace tessaral
