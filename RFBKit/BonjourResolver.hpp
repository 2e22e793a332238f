#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace rfb {

// Where a DNS-SD service instance can be reached.
struct ResolvedService {
    // A numeric address ready for getaddrinfo: "192.0.2.7", or "fe80::1%3" with the interface
    // index for an IPv6 link-local address, which is meaningless without it.
    std::string host;
    std::uint16_t port = 0;
    // The target host name the service named, e.g. "office-mac.local" (for messages only).
    std::string hostName;
    bool operator==(const ResolvedService&) const = default;
};

// Resolves the service instance `name` of `type` in `domain` (e.g. "Office Mac", "_rfb._tcp",
// "local.") through the Avahi daemon, on the calling thread.
//
// Returns at the latest at `deadline` (RFBError::timedOut) and at once when `cancelFd` becomes
// readable (Cancelled). The descriptor is only watched, never read: it is expected to be readable
// exactly when the attempt has been cancelled, so a caller's later wait on it sees the same.
// Every other failure, including no Avahi daemon or no system bus, is
// RFBError::connectionFailed with Avahi's own description of the error.
ResolvedService resolveBonjourService(const std::string& name, const std::string& type,
                                      const std::string& domain,
                                      std::chrono::steady_clock::time_point deadline, int cancelFd);

}  // namespace rfb
