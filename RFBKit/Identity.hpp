#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace rfb {

// Why the system does not vouch for a server's certificate.
enum class RFBTrustProblem { selfSigned, unknownIssuer, expired, notYetValid, otherName, invalid };

// What a server shows to prove who it is: its TLS certificate, or its RSA-AES public key.
struct RFBIdentity {
    enum class Kind { certificate, rsaKey };

    Kind kind = Kind::certificate;
    // The certificate in DER, or the key as the server sent it: bit length, modulus, exponent.
    std::vector<std::uint8_t> data = {};
    // Why the system does not trust a certificate; empty when it does, and always for a key,
    // which only the user can trust.
    std::vector<RFBTrustProblem> problems = {};

    // The short form a user compares with what the server side shows: for a certificate its
    // SHA-256 in upper-case hex pairs joined by colons, as openssl prints it; for a key the first
    // eight bytes of SHA-1 over it, in lower-case hex pairs joined by hyphens, as RealVNC Server
    // and TigerVNC show it.
    std::string fingerprint() const;
    // Whether `text` is this identity's fingerprint, in either case and with or without
    // separators.
    bool hasFingerprint(std::string_view text) const;

    // The same certificate or key, whatever the problems found with it.
    bool sameAs(const RFBIdentity& other) const { return kind == other.kind && data == other.data; }
    bool operator==(const RFBIdentity&) const = default;
};

}  // namespace rfb
