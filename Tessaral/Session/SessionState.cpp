#include "SessionState.hpp"

#include "DisplayText.hpp"

namespace tessaral {

QString statusText(const SessionState& state, const std::optional<rfb::RFBServerInfo>& server,
                   QSize frameSize) {
    using Kind = SessionState::Kind;
    switch (state.kind) {
        case Kind::idle:
        case Kind::connecting:
            return QStringLiteral("Connecting…");
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
    }
    return {};
}

}  // namespace tessaral
