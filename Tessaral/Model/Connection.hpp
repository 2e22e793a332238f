#pragma once

#include <QDateTime>
#include <QList>
#include <QRgb>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <array>
#include <optional>

#include "KeySymbol.hpp"
#include "PixelFormat.hpp"
#include "VNCAddress.hpp"

namespace tessaral {

// `text` without the spaces and tabs at either end: only those make a name or address blank,
// every other character is kept as typed.
QStringView trimmedSpacesAndTabs(QStringView text);

// How a computer came into the library. Stored by case name.
enum class ConnectionOrigin { saved, link };

QString rawValue(ConnectionOrigin origin);
std::optional<ConnectionOrigin> originFromRawValue(QStringView raw);

// Colour tag of a computer's card and icon. Stored by case name; the order is the editor's.
enum class ConnectionTint { blue, purple, pink, red, orange, yellow, green, teal, graphite };

inline constexpr std::array<ConnectionTint, 9> allTints = {
    ConnectionTint::blue,  ConnectionTint::purple, ConnectionTint::pink,
    ConnectionTint::red,   ConnectionTint::orange, ConnectionTint::yellow,
    ConnectionTint::green, ConnectionTint::teal,   ConnectionTint::graphite};

QString rawValue(ConnectionTint tint);
std::optional<ConnectionTint> tintFromRawValue(QStringView raw);
// The standard desktop colour of that name (graphite is the standard grey).
QRgb tintColor(ConnectionTint tint);

// How the remote screen is shown. Stored by case name.
enum class ScalingMode { fit, actualSize };

inline constexpr std::array<ScalingMode, 2> allScalingModes = {ScalingMode::fit,
                                                               ScalingMode::actualSize};

QString rawValue(ScalingMode mode);
std::optional<ScalingMode> scalingModeFromRawValue(QStringView raw);
QString title(ScalingMode mode);

// Stored-string forms of the protocol library's enumerations, as the library file and the
// preferences hold them. Named apart from rawValue, which the protocol library declares for the
// same types.
QString rawString(rfb::RFBQuality quality);
std::optional<rfb::RFBQuality> qualityFromRawValue(QStringView raw);
QString rawString(rfb::KeySymbol::CommandMapping mapping);
std::optional<rfb::KeySymbol::CommandMapping> commandMappingFromRawValue(QStringView raw);

// Per-computer session settings. Default construction gives the factory values, which are used
// wherever options are made without consulting the preferences.
struct ConnectionOptions {
    ScalingMode scaling = ScalingMode::fit;
    rfb::RFBQuality quality = rfb::RFBQuality::full;
    bool observeOnly = false;
    bool shareClipboard = true;
    bool sharedSession = true;
    bool showRemoteCursor = true;
    rfb::KeySymbol::CommandMapping commandMapping = rfb::KeySymbol::CommandMapping::automatic;
    // Refuses a server that would carry the session unencrypted, rather than falling back.
    bool requireEncryption = false;
    // The remote desktop follows the window's size where the server allows.
    bool resizeRemote = true;

    // The options for computers the user creates, read afresh from the preferences on each call.
    static ConnectionOptions defaults();

    bool operator==(const ConnectionOptions&) const = default;
};

// A named folder of computers. Groups carry no order of their own: the store's list is the order.
struct ConnectionGroup {
    QUuid id = QUuid::createUuid();
    QString name;

    bool operator==(const ConnectionGroup&) const = default;
};

// One computer of the library. A plain value: two records with the same id are the same computer
// in different states of editing. Default construction gives a fresh id, created now, with the
// factory options.
struct Connection {
    QUuid id = QUuid::createUuid();
    QString name;
    // As typed; empty for a computer known only by its Bonjour service.
    QString host;
    qint64 port = rfb::VNCAddress::defaultPort;
    QString username;
    // `[user@]gateway[:port]` of the SSH server the session goes through; empty for none.
    QString sshGateway;
    // When present the session connects to this advertised service and ignores host and port.
    std::optional<QString> bonjourServiceName;
    std::optional<QUuid> groupID;
    ConnectionTint tint = ConnectionTint::blue;
    QString symbol = QStringLiteral("desktopcomputer");
    ConnectionOrigin origin = ConnectionOrigin::saved;
    QDateTime createdAt = QDateTime::currentDateTimeUtc();
    std::optional<QDateTime> lastConnectedAt;
    ConnectionOptions options;

    // The icon names offered in the editor, in order. A stored symbol outside the list is kept.
    static const QStringList& symbols();

    // A computer the user is about to create, filed under `groupID`, with the preference defaults.
    static Connection newComputer(std::optional<QUuid> groupID = std::nullopt);
    // A computer named by an address (a link or quick connect). The address's password is not
    // part of the record.
    static Connection fromAddress(const rfb::VNCAddress& address, ConnectionOrigin origin);
    // A computer found nearby, reached through its advertised service.
    static Connection fromNearbyService(const QString& serviceName);

    // A separate saved computer with the same settings, named "<name> Copy".
    Connection duplicate() const;

    // "Bonjour" for a service-only computer, else the address as VNCAddress prints it.
    QString addressDescription() const;
    // Whether the editor may save it: a name, a port in 1...65535, a host or a service, and no
    // gateway or one ssh can be given safely.
    bool isValid() const;

    bool operator==(const Connection&) const = default;
};

}  // namespace tessaral
