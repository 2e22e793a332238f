#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Cursor.hpp"
#include "Identity.hpp"
#include "PixelFormat.hpp"
#include "RFBError.hpp"

namespace rfb {

struct RFBCredentials {
    std::string username;
    std::string password;
    bool operator==(const RFBCredentials&) const = default;
};

struct RFBEndpoint {
    struct Host {
        std::string host;
        long port;
        bool operator==(const Host&) const = default;
    };
    struct Bonjour {
        std::string name;
        std::string type;
        std::string domain;
        bool operator==(const Bonjour&) const = default;
    };

    static RFBEndpoint host(std::string host, long port) { return {Host{std::move(host), port}}; }
    static RFBEndpoint bonjour(std::string name, std::string type = "_rfb._tcp",
                               std::string domain = "local.") {
        return {Bonjour{std::move(name), std::move(type), std::move(domain)}};
    }

    // The plain rendering used in invalidAddress: host("name", port: 5900).
    std::string rendering() const;

    std::variant<Host, Bonjour> value;
    bool operator==(const RFBEndpoint&) const = default;
};

// The SSH server a session is carried through, by the system's ssh client.
struct RFBGateway {
    std::string destination;  // [user@]host[:port]
    // The program ssh runs to ask the user anything (Tessaral in its askpass mode); without one
    // ssh never asks and fails instead.
    std::string askpassProgram = {};
    bool operator==(const RFBGateway&) const = default;
};

struct RFBConfiguration {
    RFBEndpoint endpoint;
    std::optional<RFBCredentials> credentials;
    RFBQuality quality = RFBQuality::full;
    bool shared = true;
    bool localCursor = true;
    // Only whole seconds count.
    std::chrono::duration<double> connectTimeout = std::chrono::seconds(15);
    // Refuses every session whose traffic would travel unencrypted.
    bool requireEncryption = false;
    // The identity the user trusted for this server earlier; another one is refused as changed.
    std::optional<RFBIdentity> trustedIdentity = std::nullopt;
    // An identity accepted for this attempt by its fingerprint (a command line's --trust).
    std::optional<std::string> trustedFingerprint = std::nullopt;
    // Certificate authorities (PEM files) trusted beside the system's own.
    std::vector<std::string> caFiles = {};
    // The host and port of `endpoint` are then reached from the gateway.
    std::optional<RFBGateway> gateway = std::nullopt;
};

// How a session is protected, once connected.
struct RFBProtection {
    enum class Identity {
        none,           // not checked: no encryption, or encryption without authentication
        verified,       // vouched for by a certificate authority, for this server's name
        trustedByUser,  // one the user accepted, now or earlier
    };
    // The session's traffic, not only the password, is encrypted.
    bool encrypted = false;
    // "TLS 1.3", "RSA-AES-256"; empty when nothing is encrypted.
    std::string method = {};
    Identity identity = Identity::none;
    // The SSH gateway the session runs through, as the user wrote it; empty for none.
    std::string gateway = {};
    bool operator==(const RFBProtection&) const = default;
};

struct RFBServerInfo {
    std::string name;
    long width = 0;
    long height = 0;
    std::string protocolVersion;
    bool isApple = false;
    RFBProtection protection = {};
    bool operator==(const RFBServerInfo&) const = default;
};

enum class RFBStatus { connecting, authenticating };

// One screen of a server's desktop, with the id and flags the server gave it.
struct RFBScreen {
    std::uint32_t id = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::uint32_t flags = 0;
    bool operator==(const RFBScreen&) const = default;
};

namespace event {
struct Status {
    RFBStatus status;
};
struct Connected {
    RFBServerInfo info;
};
struct Cursor {
    std::optional<RFBCursor> cursor;
};
struct Clipboard {
    std::string text;  // UTF-8
};
struct Disconnected {
    std::optional<RFBError> error;
};
// The server's desktop size and screens. The first says that the client may ask for other sizes;
// later ones follow changes, among them the answer to this client's request.
struct DesktopLayout {
    enum class Reason { server = 0, thisClient = 1, otherClient = 2 };
    enum class Status { done = 0, prohibited = 1, outOfResources = 2, invalidLayout = 3 };
    Reason reason = Reason::server;
    Status status = Status::done;  // any other value is kept as it came
    long width = 0;
    long height = 0;
    // Empty when the server sent none, or screens outside its desktop: no request can name them.
    std::vector<RFBScreen> screens;
};
struct FrameAvailable {};
// ssh asks the user something; RFBClient::answerGatewayPrompt answers, stop() declines.
struct GatewayPrompt {
    std::string text;
    // A password or passphrase, not a question to confirm.
    bool secret = false;
    bool operator==(const GatewayPrompt&) const = default;
};
struct Bell {};
}  // namespace event

using RFBEvent = std::variant<event::Status, event::Connected, event::Cursor, event::Clipboard,
                              event::Disconnected, event::FrameAvailable, event::Bell,
                              event::GatewayPrompt, event::DesktopLayout>;

}  // namespace rfb
