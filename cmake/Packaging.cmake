# The Debian package: `cpack -G DEB` in a Release build directory.
set(CPACK_PACKAGE_NAME tessaral)
set(CPACK_PACKAGE_VENDOR "The Tessaral developers")
set(CPACK_PACKAGE_CONTACT "${TESSARAL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remote screen client for VNC (RFB) servers")
set(CPACK_PACKAGE_DESCRIPTION
    "Tessaral keeps a library of computers, finds computers on the local network\n"
    "and opens one window per computer to see and control its screen: keyboard,\n"
    "mouse and wheel, clipboard in both directions, system key combinations,\n"
    "typing text as keystrokes and screenshots. It opens vnc:// links from other\n"
    "applications. It talks to TigerVNC, x11vnc and the macOS screen-sharing\n"
    "service.\n"
    "\n"
    "The package also contains tessaral-snapshot, a command-line tool that saves\n"
    "the screen of a VNC server as a PNG image.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Loaded as plugins, so the library scan cannot see them: the SVG icon engine draws every symbol;
# the X11 platform comes with libqt6gui6, Wayland's does not. Computers behind an SSH gateway are
# reached through the system's ssh, which is run, not linked. The session window reaches Qt's
# Wayland connection through Qt's private native interface, bound to this very Qt release.
find_package(Qt6 REQUIRED COMPONENTS Gui)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, qt6-base-abi (= ${Qt6Gui_VERSION})")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "qt6-wayland, gnome-keyring | keepassxc, avahi-daemon, default-dbus-session-bus | dbus-session-bus, openssh-client")
# CPack strips symbols only; the compiler's notes go as well, as dh_strip would do.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/StripNotes.cmake)
include(CPack)
