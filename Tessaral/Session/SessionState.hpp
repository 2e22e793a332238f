#pragma once

#include <QSize>
#include <QString>
#include <optional>

#include "RFBConfiguration.hpp"
#include "RFBError.hpp"

namespace tessaral {

// Where a session stands, as its window shows it.
struct SessionState {
    enum class Kind {
        idle,
        connecting,
        authenticating,
        connected,
        disconnected,
        failed,
        needsCredentials
    };
    Kind kind = Kind::idle;
    QString message;  // failed: the error's description
    rfb::RFBCredentialKind credentialKind = rfb::RFBCredentialKind::password;  // needsCredentials
    bool retry = false;  // needsCredentials: offered credentials were rejected

    static SessionState at(Kind kind) { return {kind, {}}; }
    static SessionState failed(QString message) { return {Kind::failed, std::move(message)}; }
    static SessionState needsCredentials(rfb::RFBCredentialKind kind, bool retry) {
        return {Kind::needsCredentials, {}, kind, retry};
    }
    bool operator==(const SessionState&) const = default;
};

// One line for the title: "Connecting…", "Studio · 2560 × 1440", "Disconnected", … The server's
// name and the frame's size show once both are known.
QString statusText(const SessionState& state, const std::optional<rfb::RFBServerInfo>& server,
                   QSize frameSize);

}  // namespace tessaral
