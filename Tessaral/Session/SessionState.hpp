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
        needsCredentials,
        // The server's identity waits for the user to trust it or not.
        needsTrust,
        // ssh, on its way to the SSH gateway, waits for the user's answer.
        needsGatewayAnswer
    };
    Kind kind = Kind::idle;
    QString message;  // failed: the error's description
    rfb::RFBCredentialKind credentialKind = rfb::RFBCredentialKind::password;  // needsCredentials
    bool retry = false;  // needsCredentials: offered credentials were rejected
    std::optional<rfb::RFBIdentity> identity = std::nullopt;  // needsTrust: what the server shows
    // needsTrust: the identity trusted for the server before, which this one does not match.
    std::optional<rfb::RFBIdentity> replacedIdentity = std::nullopt;
    std::optional<rfb::event::GatewayPrompt> prompt = std::nullopt;  // needsGatewayAnswer

    static SessionState at(Kind kind) { return {kind, {}}; }
    static SessionState failed(QString message) { return {Kind::failed, std::move(message)}; }
    static SessionState needsCredentials(rfb::RFBCredentialKind kind, bool retry) {
        return {Kind::needsCredentials, {}, kind, retry};
    }
    static SessionState needsTrust(rfb::RFBIdentity identity,
                                   std::optional<rfb::RFBIdentity> replaced) {
        SessionState state{Kind::needsTrust, {}};
        state.identity = std::move(identity);
        state.replacedIdentity = std::move(replaced);
        return state;
    }
    static SessionState needsGatewayAnswer(rfb::event::GatewayPrompt prompt) {
        SessionState state{Kind::needsGatewayAnswer, {}};
        state.prompt = std::move(prompt);
        return state;
    }
    bool operator==(const SessionState&) const = default;
};

// One line for the title: "Connecting…", "Studio · 2560 × 1440", "Disconnected", … The server's
// name and the frame's size show once both are known.
QString statusText(const SessionState& state, const std::optional<rfb::RFBServerInfo>& server,
                   QSize frameSize, bool throughGateway = false);

// How a connected session is protected, in the words of the window's lock: "Encrypted (TLS 1.3,
// certificate verified)", "Not encrypted", …
QString protectionText(const rfb::RFBProtection& protection);

}  // namespace tessaral
