#pragma once

class QWindow;
struct wl_display;
struct zwp_keyboard_shortcuts_inhibit_manager_v1;
struct zwp_keyboard_shortcuts_inhibitor_v1;

namespace tessaral {

// The Wayland counterpart of an X keyboard grab: asks the compositor, through its
// keyboard-shortcuts-inhibit protocol, to pass its own shortcuts (Alt+Tab, Super, ...) on to one
// window. Qt 6.4's Wayland platform neither binds that protocol nor grabs keyboards, so this talks
// to the compositor directly over Qt's own connection. A compositor that does not offer it keeps
// its shortcuts, and nothing else changes.
class WaylandShortcutsInhibitor {
  public:
    // True when Qt runs on a Wayland platform ("wayland", "wayland-egl", ...).
    static bool onWayland();

    // Binds the compositor's inhibit manager when it offers one.
    WaylandShortcutsInhibitor();
    ~WaylandShortcutsInhibitor();
    WaylandShortcutsInhibitor(const WaylandShortcutsInhibitor&) = delete;
    WaylandShortcutsInhibitor& operator=(const WaylandShortcutsInhibitor&) = delete;

    bool offered() const { return manager_ != nullptr; }
    // Asks for `window`'s shortcuts, withdrawing an earlier request; false when it cannot be asked.
    bool inhibit(QWindow* window);
    void release();
    // The compositor granted the request: its shortcuts now reach the window. GNOME first asks
    // the user, and any compositor may take it back (inactive) and grant it again later.
    bool active() const { return active_; }

  private:
    static void activated(void* data, zwp_keyboard_shortcuts_inhibitor_v1* inhibitor);
    static void deactivated(void* data, zwp_keyboard_shortcuts_inhibitor_v1* inhibitor);
    void setActive(bool active);

    wl_display* display_ = nullptr;
    zwp_keyboard_shortcuts_inhibit_manager_v1* manager_ = nullptr;
    zwp_keyboard_shortcuts_inhibitor_v1* inhibitor_ = nullptr;
    bool active_ = false;
};

}  // namespace tessaral
