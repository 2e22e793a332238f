#include "Connection.hpp"

#include <limits>
#include <string>

#include "AppSettings.hpp"
#include "SSHGateway.hpp"

namespace tessaral {

namespace {

template <typename Enum, std::size_t N, typename ToRaw>
std::optional<Enum> findByRawValue(const std::array<Enum, N>& cases, QStringView raw, ToRaw toRaw) {
    for (Enum value : cases) {
        if (toRaw(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

constexpr std::array<ConnectionOrigin, 2> allOrigins = {ConnectionOrigin::saved,
                                                        ConnectionOrigin::link};

}  // namespace

// Only spaces and tabs count: a name made of them is blank, but other characters are kept as
// typed.
QStringView trimmedSpacesAndTabs(QStringView text) {
    auto isBlank = [](QChar c) { return c == u' ' || c == u'\t'; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

QString rawValue(ConnectionOrigin origin) {
    switch (origin) {
        case ConnectionOrigin::saved:
            return QStringLiteral("saved");
        case ConnectionOrigin::link:
            return QStringLiteral("link");
    }
    return {};
}

std::optional<ConnectionOrigin> originFromRawValue(QStringView raw) {
    return findByRawValue(allOrigins, raw, [](ConnectionOrigin v) { return rawValue(v); });
}

QString rawValue(ConnectionTint tint) {
    switch (tint) {
        case ConnectionTint::blue:
            return QStringLiteral("blue");
        case ConnectionTint::purple:
            return QStringLiteral("purple");
        case ConnectionTint::pink:
            return QStringLiteral("pink");
        case ConnectionTint::red:
            return QStringLiteral("red");
        case ConnectionTint::orange:
            return QStringLiteral("orange");
        case ConnectionTint::yellow:
            return QStringLiteral("yellow");
        case ConnectionTint::green:
            return QStringLiteral("green");
        case ConnectionTint::teal:
            return QStringLiteral("teal");
        case ConnectionTint::graphite:
            return QStringLiteral("graphite");
    }
    return {};
}

std::optional<ConnectionTint> tintFromRawValue(QStringView raw) {
    return findByRawValue(allTints, raw, [](ConnectionTint v) { return rawValue(v); });
}

QRgb tintColor(ConnectionTint tint) {
    switch (tint) {
        case ConnectionTint::blue:
            return qRgb(0x00, 0x7A, 0xFF);
        case ConnectionTint::purple:
            return qRgb(0xAF, 0x52, 0xDE);
        case ConnectionTint::pink:
            return qRgb(0xFF, 0x2D, 0x55);
        case ConnectionTint::red:
            return qRgb(0xFF, 0x3B, 0x30);
        case ConnectionTint::orange:
            return qRgb(0xFF, 0x95, 0x00);
        case ConnectionTint::yellow:
            return qRgb(0xFF, 0xCC, 0x00);
        case ConnectionTint::green:
            return qRgb(0x28, 0xCD, 0x41);
        case ConnectionTint::teal:
            return qRgb(0x30, 0xB0, 0xC7);
        case ConnectionTint::graphite:
            return qRgb(0x8E, 0x8E, 0x93);
    }
    return qRgb(0x8E, 0x8E, 0x93);
}

QString rawValue(ScalingMode mode) {
    switch (mode) {
        case ScalingMode::fit:
            return QStringLiteral("fit");
        case ScalingMode::actualSize:
            return QStringLiteral("actualSize");
    }
    return {};
}

std::optional<ScalingMode> scalingModeFromRawValue(QStringView raw) {
    return findByRawValue(allScalingModes, raw, [](ScalingMode v) { return rawValue(v); });
}

QString title(ScalingMode mode) {
    switch (mode) {
        case ScalingMode::fit:
            return QStringLiteral("Scale to Fit");
        case ScalingMode::actualSize:
            return QStringLiteral("Actual Size");
    }
    return {};
}

QString rawString(rfb::RFBQuality quality) {
    const std::string_view raw = rfb::rawValue(quality);
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

std::optional<rfb::RFBQuality> qualityFromRawValue(QStringView raw) {
    return findByRawValue(rfb::allQualities, raw, [](rfb::RFBQuality v) { return rawString(v); });
}

QString rawString(rfb::KeySymbol::CommandMapping mapping) {
    const std::string_view raw = rfb::KeySymbol::rawValue(mapping);
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

std::optional<rfb::KeySymbol::CommandMapping> commandMappingFromRawValue(QStringView raw) {
    return findByRawValue(rfb::KeySymbol::allCommandMappings, raw,
                          [](rfb::KeySymbol::CommandMapping v) { return rawString(v); });
}

ConnectionOptions ConnectionOptions::defaults() {
    ConnectionOptions options;
    options.scaling = AppSettings::defaultScaling();
    options.quality = AppSettings::defaultQuality();
    options.shareClipboard = AppSettings::defaultShareClipboard();
    options.commandMapping = AppSettings::defaultCommandMapping();
    return options;
}

const QStringList& Connection::symbols() {
    // Without a bundled icon set every name is offered; the views map each to a theme icon with a
    // fallback, so all eleven can be drawn.
    static const QStringList list = {
        QStringLiteral("desktopcomputer"),
        QStringLiteral("laptopcomputer"),
        QStringLiteral("macmini"),
        QStringLiteral("macstudio"),
        QStringLiteral("macpro.gen3"),
        QStringLiteral("display"),
        QStringLiteral("pc"),
        QStringLiteral("server.rack"),
        QStringLiteral("externaldrive.connected.to.line.below"),
        QStringLiteral("tv"),
        QStringLiteral("raspberrypi"),
    };
    return list;
}

Connection Connection::newComputer(std::optional<QUuid> groupID) {
    Connection connection;
    connection.groupID = groupID;
    connection.options = ConnectionOptions::defaults();
    return connection;
}

Connection Connection::fromAddress(const rfb::VNCAddress& address, ConnectionOrigin origin) {
    Connection connection;
    connection.host = QString::fromStdString(address.host);
    connection.name = connection.host;
    connection.port = address.port;
    connection.username = address.username ? QString::fromStdString(*address.username) : QString();
    connection.origin = origin;
    return connection;
}

Connection Connection::fromNearbyService(const QString& serviceName) {
    Connection connection;
    connection.name = serviceName;
    connection.bonjourServiceName = serviceName;
    connection.options = ConnectionOptions::defaults();
    return connection;
}

Connection Connection::duplicate() const {
    Connection copy = *this;
    copy.id = QUuid::createUuid();
    copy.name = name + QStringLiteral(" Copy");
    copy.lastConnectedAt.reset();
    copy.origin = ConnectionOrigin::saved;
    return copy;
}

QString Connection::addressDescription() const {
    if (bonjourServiceName && host.isEmpty()) {
        return QStringLiteral("Bonjour");
    }
    // A port from a damaged file may not fit the address's int; print it as it is stored.
    if (port >= std::numeric_limits<int>::min() && port <= std::numeric_limits<int>::max()) {
        const rfb::VNCAddress address{host.toStdString(), static_cast<int>(port)};
        return QString::fromStdString(address.displayString());
    }
    const rfb::VNCAddress hostOnly{host.toStdString()};
    return QString::fromStdString(hostOnly.displayString()) + u':' + QString::number(port);
}

bool Connection::isValid() const {
    if (trimmedSpacesAndTabs(name).isEmpty() || port < 1 || port > 65535) {
        return false;
    }
    if (!sshGateway.isEmpty() && !rfb::parseSSHDestination(sshGateway.toStdString())) {
        return false;
    }
    return bonjourServiceName.has_value() || !trimmedSpacesAndTabs(host).isEmpty();
}

}  // namespace tessaral
