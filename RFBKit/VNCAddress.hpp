#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace rfb {

// A computer's address as users type it or links carry it: "host", "host:display",
// "host:port", "[ipv6]:port" or a vnc:// / screensharing:// URL with optional credentials.
// All texts are UTF-8.
struct VNCAddress {
    static constexpr int defaultPort = 5900;

    // An IPv6 literal is held without brackets.
    std::string host;
    int port = defaultPort;
    // Percent-decoded; never empty when present.
    std::optional<std::string> username = std::nullopt;
    std::optional<std::string> password = std::nullopt;

    // Throws RFBError::invalidAddress carrying `text` unchanged. A port below 100 is a display
    // number: ":1" means port 5901.
    static VNCAddress parse(std::string_view text);

    // Host, bracketed when it contains ":", then ":port" unless the port is 5900. Never shows
    // credentials.
    std::string displayString() const;

    // "vnc://[user@]host[:port]", the port only when it is not 5900; never carries the password.
    // None when the address cannot be written as a URL (empty host, port outside 1...65535, a
    // malformed IPv6 literal).
    std::optional<std::string> url() const;

    bool operator==(const VNCAddress&) const = default;
};

}  // namespace rfb
