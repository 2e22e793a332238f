#pragma once

#include <QObject>
#include <QString>
#include <QStringView>
#include <optional>

#include "Connection.hpp"

namespace tessaral {

// How the library window lists computers. Stored by case name.
enum class LibraryLayout { grid, list };

QString rawValue(LibraryLayout layout);
std::optional<LibraryLayout> libraryLayoutFromRawValue(QStringView raw);

// The user's preferences, kept in QSettings (organisation and application "Tessaral"). Nothing is
// cached: every getter reads the store, so a change is seen by the next reader. A key that is
// absent, or holds something that is not one of its values, reads as the key's default.
//
// The object itself only announces changes made through the setters, for windows that redraw
// when a preference changes.
class AppSettings : public QObject {
    Q_OBJECT

  public:
    static constexpr QStringView libraryLayoutKey = u"libraryLayout";
    static constexpr QStringView showNearbyKey = u"showNearby";
    static constexpr QStringView saveThumbnailsKey = u"saveThumbnails";
    static constexpr QStringView defaultScalingKey = u"defaultScaling";
    static constexpr QStringView defaultQualityKey = u"defaultQuality";
    static constexpr QStringView defaultShareClipboardKey = u"defaultShareClipboard";
    static constexpr QStringView defaultCommandMappingKey = u"defaultCommandMapping";
    static constexpr QStringView sendSystemShortcutsKey = u"sendSystemShortcuts";
    static constexpr QStringView hideLocalCursorKey = u"hideLocalCursor";
    static constexpr QStringView captureSystemKeysKey = u"captureSystemKeys";

    // The process-wide notifier. Lives on the thread that first asks for it (the main thread).
    static AppSettings& instance();

    static LibraryLayout libraryLayout();
    static bool showNearby();
    static bool saveThumbnails();
    static ScalingMode defaultScaling();
    static rfb::RFBQuality defaultQuality();
    static bool defaultShareClipboard();
    static rfb::KeySymbol::CommandMapping defaultCommandMapping();
    static bool sendSystemShortcuts();
    static bool hideLocalCursor();
    // Whether a focused session window takes Alt+Tab and the like from the desktop.
    static bool captureSystemKeys();

    static void setLibraryLayout(LibraryLayout layout);
    static void setShowNearby(bool value);
    static void setSaveThumbnails(bool value);
    static void setDefaultScaling(ScalingMode mode);
    static void setDefaultQuality(rfb::RFBQuality quality);
    static void setDefaultShareClipboard(bool value);
    static void setDefaultCommandMapping(rfb::KeySymbol::CommandMapping mapping);
    static void setSendSystemShortcuts(bool value);
    static void setHideLocalCursor(bool value);
    static void setCaptureSystemKeys(bool value);

  signals:
    // After a setter stored a value different from the one read before.
    void changed(const QString& key);

  private:
    AppSettings() = default;
};

}  // namespace tessaral
