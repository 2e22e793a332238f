#include "SessionState.hpp"

#include "DisplayText.hpp"

namespace tessaral {

QString statusText(const SessionState& state, const std::optional<rfb::RFBServerInfo>& server,
                   QSize frameSize, bool throughGateway) {
    using Kind = SessionState::Kind;
    switch (state.kind) {
        case Kind::idle:
        case Kind::connecting:
            return throughGateway ? QStringLiteral("Connecting through gateway…")
                                  : QStringLiteral("Connecting…");
        case Kind::needsGatewayAnswer:
            return QStringLiteral("SSH Gateway Asks");
        case Kind::authenticating:
            return QStringLiteral("Authenticating…");
        case Kind::connected:
            if (server && !frameSize.isEmpty()) {
                return QStringLiteral("%1 · %2 × %3")
                    .arg(displayText(QString::fromStdString(server->name)))
                    .arg(frameSize.width())
                    .arg(frameSize.height());
            }
            return QStringLiteral("Connected");
        case Kind::disconnected:
            return QStringLiteral("Disconnected");
        case Kind::failed:
            return QStringLiteral("Connection Failed");
        case Kind::needsCredentials:
            return QStringLiteral("Authentication Required");
        case Kind::needsTrust:
            return state.replacedIdentity ? QStringLiteral("Identity Changed")
                                          : QStringLiteral("Identity Not Verified");
    }
    return {};
}

QString protectionText(const rfb::RFBProtection& protection) {
    using Identity = rfb::RFBProtection::Identity;
    const QString gateway = QString::fromStdString(protection.gateway);
    if (!gateway.isEmpty()) {
        // ssh protects the way to the gateway; from there on only the VNC session's own
        // encryption does.
        rfb::RFBProtection beyond = protection;
        beyond.gateway.clear();
        return protection.encrypted
                   ? QStringLiteral("Through SSH gateway %1 · %2")
                         .arg(gateway, protectionText(beyond))
                   : QStringLiteral("Encrypted by SSH to %1, not beyond").arg(gateway);
    }
    if (!protection.encrypted) {
        return QStringLiteral("Not encrypted");
    }
    const QString method = QString::fromStdString(protection.method);
    switch (protection.identity) {
        case Identity::verified:
            return QStringLiteral("Encrypted (%1, certificate verified)").arg(method);
        case Identity::trustedByUser:
            return QStringLiteral("Encrypted (%1, identity trusted)").arg(method);
        case Identity::none:
            break;
    }
    return QStringLiteral("Encrypted — identity not verified");
}

}  // namespace tessaral
