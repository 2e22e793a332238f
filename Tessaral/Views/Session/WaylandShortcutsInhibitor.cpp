#include "WaylandShortcutsInhibitor.hpp"

#include <qpa/qplatformnativeinterface.h>
#include <wayland-client.h>

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QWindow>
#include <cstring>

#include "keyboard-shortcuts-inhibit-unstable-v1-client-protocol.h"

namespace tessaral {

namespace {

Q_LOGGING_CATEGORY(captureLog, "org.tessaral.Tessaral.capture", QtInfoMsg)

void globalAnnounced(void* data, wl_registry* registry, uint32_t name, const char* interface,
                     uint32_t /*version*/) {
    if (std::strcmp(interface, zwp_keyboard_shortcuts_inhibit_manager_v1_interface.name) == 0) {
        *static_cast<zwp_keyboard_shortcuts_inhibit_manager_v1**>(data) =
            static_cast<zwp_keyboard_shortcuts_inhibit_manager_v1*>(wl_registry_bind(
                registry, name, &zwp_keyboard_shortcuts_inhibit_manager_v1_interface, 1));
    }
}

void globalRemoved(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/) {}

const wl_registry_listener registryListener{.global = globalAnnounced,
                                            .global_remove = globalRemoved};

void* integrationResource(const char* name) {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    return native ? native->nativeResourceForIntegration(name) : nullptr;
}

}  // namespace

bool WaylandShortcutsInhibitor::onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

WaylandShortcutsInhibitor::WaylandShortcutsInhibitor() {
    display_ = static_cast<wl_display*>(integrationResource("wl_display"));
    if (!display_) {
        return;
    }
    // A queue of its own for the one round trip: Qt's events stay on Qt's queue, dispatched by
    // Qt's loop, and none of them runs in the middle of a window's state change.
    wl_event_queue* queue = wl_display_create_queue(display_);
    auto* display = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(display), queue);
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, &manager_);
    wl_display_roundtrip_queue(display_, queue);
    wl_registry_destroy(registry);
    wl_proxy_wrapper_destroy(display);
    // The inhibitors it makes inherit this queue: their events must arrive through Qt's loop.
    if (manager_) {
        wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(manager_), nullptr);
    }
    wl_event_queue_destroy(queue);
    if (!manager_) {
        qCInfo(captureLog) << "the compositor offers no keyboard-shortcuts-inhibit: its shortcuts "
                              "stay with the desktop";
    }
}

WaylandShortcutsInhibitor::~WaylandShortcutsInhibitor() {
    release();
    if (manager_) {
        zwp_keyboard_shortcuts_inhibit_manager_v1_destroy(manager_);
        wl_display_flush(display_);
    }
}

bool WaylandShortcutsInhibitor::inhibit(QWindow* window) {
    release();
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!manager_ || !native || !window || !window->handle()) {
        return false;
    }
    auto* surface = static_cast<wl_surface*>(native->nativeResourceForWindow("surface", window));
    auto* seat = static_cast<wl_seat*>(integrationResource("wl_seat"));
    if (!surface || !seat) {
        return false;
    }
    static const zwp_keyboard_shortcuts_inhibitor_v1_listener listener{.active = activated,
                                                                       .inactive = deactivated};
    inhibitor_ =
        zwp_keyboard_shortcuts_inhibit_manager_v1_inhibit_shortcuts(manager_, surface, seat);
    zwp_keyboard_shortcuts_inhibitor_v1_add_listener(inhibitor_, &listener, this);
    wl_display_flush(display_);
    qCInfo(captureLog) << "asked the compositor for its shortcuts";
    return true;
}

void WaylandShortcutsInhibitor::release() {
    if (!inhibitor_) {
        return;
    }
    zwp_keyboard_shortcuts_inhibitor_v1_destroy(inhibitor_);
    inhibitor_ = nullptr;
    wl_display_flush(display_);
    setActive(false);
    qCInfo(captureLog) << "gave the compositor its shortcuts back";
}

void WaylandShortcutsInhibitor::activated(void* data, zwp_keyboard_shortcuts_inhibitor_v1*) {
    static_cast<WaylandShortcutsInhibitor*>(data)->setActive(true);
}

void WaylandShortcutsInhibitor::deactivated(void* data, zwp_keyboard_shortcuts_inhibitor_v1*) {
    static_cast<WaylandShortcutsInhibitor*>(data)->setActive(false);
}

void WaylandShortcutsInhibitor::setActive(bool active) {
    if (active == active_) {
        return;
    }
    active_ = active;
    // The tests wait for these lines: the compositor's word, not the request.
    if (active) {
        qCInfo(captureLog) << "the compositor passes its shortcuts on";
    } else if (inhibitor_) {
        qCInfo(captureLog) << "the compositor keeps its shortcuts again";
    }
}

}  // namespace tessaral
