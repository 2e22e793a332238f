#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "RFBConfiguration.hpp"
#include "RFBInput.hpp"
#include "Stream.hpp"

namespace rfb {

// What a security handshake works with: the server's bytes, the way back, and the means to put
// a filter under both.
class SecurityChannel {
  public:
    using MakeFilter =
        std::function<std::unique_ptr<RFBStream>(RFBInput& below, RFBStream& beneath)>;

    virtual ~SecurityChannel() = default;
    virtual RFBInput& input() = 0;
    virtual void send(std::span<const std::uint8_t> bytes) = 0;
    // From now on every byte, both ways, goes through the stream `make` builds over the one
    // beneath, which reads what the input had buffered already and then the connection.
    virtual void filterThrough(const MakeFilter& make) = 0;
    // Removes the filter put last: the stream beneath it carries on, starting with what the
    // filter had read ahead and not yet used.
    virtual void endFilter() = 0;
};

// The security type to ask for among `types`: the strongest this client can use with the
// credentials it has. Throws credentialsRequired when a usable type needs credentials that are
// missing, encryptionRequired when encryption is required and only unencrypted types remain,
// noSupportedSecurityType otherwise.
std::uint8_t chooseSecurityType(const std::vector<std::uint8_t>& types,
                                const RFBConfiguration& configuration);

// How far the user or the system trusts `identity`: a certificate may be vouched for by the
// system, every identity may have been accepted by the user. Throws identityChanged when the user
// trusted another one for this server, identityNotTrusted otherwise.
RFBProtection::Identity acceptIdentity(const RFBIdentity& identity,
                                       const RFBConfiguration& configuration);

// Appends `value` big-endian, as the handshake's fields are.
void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value);

struct SecurityOutcome {
    // How the session that follows is protected.
    RFBProtection protection;
    // The type that authenticated: the one chosen inside anonymous TLS, else the one chosen.
    // Before 3.8 a server sends no security result after None.
    std::uint8_t authenticatedBy;
};

// Runs the handshake of the chosen (or, before 3.7, dictated) `type` up to the security result.
// `serverName` is what certificates must name.
SecurityOutcome runSecurity(std::uint8_t type, SecurityChannel& channel,
                            const RFBConfiguration& configuration, const std::string& serverName);

}  // namespace rfb
