#include "AppSettings.hpp"

#include <QSettings>
#include <QVariant>

namespace tessaral {

namespace {

QSettings openSettings() {
    return QSettings(QStringLiteral("Tessaral"), QStringLiteral("Tessaral"));
}

// Only a stored string counts; anything else reads as if the key were absent.
std::optional<QString> storedString(QStringView key) {
    const QVariant value = openSettings().value(key.toString());
    if (!value.isValid() || value.typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return value.toString();
}

enum class StoredBool { absent, yes, no, unrecognised };

// The settings file keeps booleans as text, so recognise the spellings a boolean is written as
// (and numbers, non-zero meaning true) the way a boolean read of the key would.
StoredBool storedBool(QStringView key) {
    const QVariant value = openSettings().value(key.toString());
    if (!value.isValid()) {
        return StoredBool::absent;
    }
    switch (value.typeId()) {
        case QMetaType::Bool:
            return value.toBool() ? StoredBool::yes : StoredBool::no;
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Double:
            return value.toDouble() != 0 ? StoredBool::yes : StoredBool::no;
        case QMetaType::QString: {
            const QString text = value.toString().trimmed().toLower();
            if (text == u"true" || text == u"yes") {
                return StoredBool::yes;
            }
            if (text == u"false" || text == u"no") {
                return StoredBool::no;
            }
            bool isNumber = false;
            const double number = text.toDouble(&isNumber);
            if (isNumber) {
                return number != 0 ? StoredBool::yes : StoredBool::no;
            }
            return StoredBool::unrecognised;
        }
        default:
            return StoredBool::unrecognised;
    }
}

// A present key is read as a boolean (an unrecognised value reading false); only an absent key
// takes the default.
bool boolPreference(QStringView key, bool absentValue) {
    switch (storedBool(key)) {
        case StoredBool::absent:
            return absentValue;
        case StoredBool::yes:
            return true;
        case StoredBool::no:
        case StoredBool::unrecognised:
            return false;
    }
    return absentValue;
}

template <typename Enum, typename Parse>
Enum enumPreference(QStringView key, Enum absentValue, Parse parse) {
    const std::optional<QString> text = storedString(key);
    if (!text) {
        return absentValue;
    }
    return parse(*text).value_or(absentValue);
}

// Announces only what a reader would see change: writing the value a key already reads as
// (absent or not) is no change.
template <typename Getter>
void store(QStringView key, const QVariant& value, Getter getter) {
    const auto before = getter();
    openSettings().setValue(key.toString(), value);
    if (getter() != before) {
        emit AppSettings::instance().changed(key.toString());
    }
}

}  // namespace

QString rawValue(LibraryLayout layout) {
    switch (layout) {
        case LibraryLayout::grid:
            return QStringLiteral("grid");
        case LibraryLayout::list:
            return QStringLiteral("list");
    }
    return {};
}

std::optional<LibraryLayout> libraryLayoutFromRawValue(QStringView raw) {
    if (raw == u"grid") {
        return LibraryLayout::grid;
    }
    if (raw == u"list") {
        return LibraryLayout::list;
    }
    return std::nullopt;
}

AppSettings& AppSettings::instance() {
    static AppSettings* settings = new AppSettings;
    return *settings;
}

LibraryLayout AppSettings::libraryLayout() {
    return enumPreference(libraryLayoutKey, LibraryLayout::grid, libraryLayoutFromRawValue);
}

bool AppSettings::showNearby() {
    return boolPreference(showNearbyKey, true);
}

bool AppSettings::saveThumbnails() {
    // Previews are cheap and useful: only an explicit false turns them off.
    return storedBool(saveThumbnailsKey) != StoredBool::no;
}

ScalingMode AppSettings::defaultScaling() {
    return enumPreference(defaultScalingKey, ScalingMode::fit, scalingModeFromRawValue);
}

rfb::RFBQuality AppSettings::defaultQuality() {
    return enumPreference(defaultQualityKey, rfb::RFBQuality::full, qualityFromRawValue);
}

bool AppSettings::defaultShareClipboard() {
    return boolPreference(defaultShareClipboardKey, true);
}

rfb::KeySymbol::CommandMapping AppSettings::defaultCommandMapping() {
    return enumPreference(defaultCommandMappingKey, rfb::KeySymbol::CommandMapping::automatic,
                          commandMappingFromRawValue);
}

bool AppSettings::sendSystemShortcuts() {
    return boolPreference(sendSystemShortcutsKey, true);
}

bool AppSettings::hideLocalCursor() {
    return boolPreference(hideLocalCursorKey, false);
}

bool AppSettings::captureSystemKeys() {
    return boolPreference(captureSystemKeysKey, false);
}

void AppSettings::setLibraryLayout(LibraryLayout layout) {
    store(libraryLayoutKey, rawValue(layout), &AppSettings::libraryLayout);
}

void AppSettings::setShowNearby(bool value) {
    store(showNearbyKey, value, &AppSettings::showNearby);
}

void AppSettings::setSaveThumbnails(bool value) {
    store(saveThumbnailsKey, value, &AppSettings::saveThumbnails);
}

void AppSettings::setDefaultScaling(ScalingMode mode) {
    store(defaultScalingKey, rawValue(mode), &AppSettings::defaultScaling);
}

void AppSettings::setDefaultQuality(rfb::RFBQuality quality) {
    store(defaultQualityKey, rawString(quality), &AppSettings::defaultQuality);
}

void AppSettings::setDefaultShareClipboard(bool value) {
    store(defaultShareClipboardKey, value, &AppSettings::defaultShareClipboard);
}

void AppSettings::setDefaultCommandMapping(rfb::KeySymbol::CommandMapping mapping) {
    store(defaultCommandMappingKey, rawString(mapping), &AppSettings::defaultCommandMapping);
}

void AppSettings::setSendSystemShortcuts(bool value) {
    store(sendSystemShortcutsKey, value, &AppSettings::sendSystemShortcuts);
}

void AppSettings::setHideLocalCursor(bool value) {
    store(hideLocalCursorKey, value, &AppSettings::hideLocalCursor);
}

void AppSettings::setCaptureSystemKeys(bool value) {
    store(captureSystemKeysKey, value, &AppSettings::captureSystemKeys);
}

}  // namespace tessaral
