#pragma once

#include <cstdint>

#include "RFBConfiguration.hpp"
#include "Security.hpp"

namespace rfb {

// Security types 5 and 129 (RA2, RA2_256: the whole session in AES-EAX) and 6 and 130 (RA2ne,
// RA2ne_256: only the credentials), up to the security result. RSA keys are exchanged, the
// server's key being its identity, each side encrypts a random to the other's key, and the
// session keys come from both randoms: SHA-1 and AES-128 for 5 and 6, SHA-256 and AES-256 for
// 129 and 130. Wrong or missing credentials, an identity the user does not trust, and a server
// that lies about its key or its records each end it with their RFBError.
RFBProtection rsaAES(std::uint8_t type, SecurityChannel& channel,
                     const RFBConfiguration& configuration);

}  // namespace rfb
