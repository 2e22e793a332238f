#include "Security.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "Authentication.hpp"
#include "MessageTypes.hpp"
#include "RSAAES.hpp"
#include "TLSStream.hpp"

namespace rfb {

namespace {

constexpr std::uint32_t maxCredentialLength = 65'535;
constexpr std::uint8_t maxSubtypes = 32;

enum class Needs { nothing, password, usernameAndPassword };

// A way to authenticate, in a list ranked best first.
struct Method {
    std::uint32_t type;
    bool encrypts;
    Needs needs;
};

// Types whose handshake may ask for credentials that are known only once it has begun count as
// needing nothing here.
constexpr std::array topLevelMethods{
    Method{RFBSecurityType::veNCrypt, true, Needs::nothing},
    Method{RFBSecurityType::rsaAES256, true, Needs::nothing},
    Method{RFBSecurityType::rsaAES, true, Needs::nothing},
    Method{RFBSecurityType::tls, true, Needs::nothing},
    Method{RFBSecurityType::rsaAES256CredentialsOnly, false, Needs::nothing},
    Method{RFBSecurityType::rsaAESCredentialsOnly, false, Needs::nothing},
    Method{RFBSecurityType::appleRemoteDesktop, false, Needs::usernameAndPassword},
    Method{RFBSecurityType::vncAuthentication, false, Needs::password},
    Method{RFBSecurityType::none, false, Needs::nothing},
};

// Plain without TLS is never chosen: it would send the password as it is.
constexpr std::array veNCryptMethods{
    Method{VeNCryptSubtype::x509Plain, true, Needs::usernameAndPassword},
    Method{VeNCryptSubtype::x509Vnc, true, Needs::password},
    Method{VeNCryptSubtype::x509None, true, Needs::nothing},
    Method{VeNCryptSubtype::tlsPlain, true, Needs::usernameAndPassword},
    Method{VeNCryptSubtype::tlsVnc, true, Needs::password},
    Method{VeNCryptSubtype::tlsNone, true, Needs::nothing},
    Method{RFBSecurityType::vncAuthentication, false, Needs::password},
    Method{RFBSecurityType::none, false, Needs::nothing},
};

bool satisfied(Needs needs, const std::optional<RFBCredentials>& credentials) {
    switch (needs) {
        case Needs::nothing:
            return true;
        case Needs::password:
            return credentials.has_value();
        case Needs::usernameAndPassword:
            return credentials && !credentials->username.empty();
    }
    return false;
}

// The best method offered that can be used now; throws when the best usable one lacks
// credentials or only unencrypted ones remain where encryption is required. None when nothing
// offered is known at all.
template <std::size_t N>
std::optional<std::uint32_t> choose(const std::vector<std::uint32_t>& offered,
                                    const std::array<Method, N>& ranked,
                                    const RFBConfiguration& configuration) {
    std::optional<RFBCredentialKind> missing;
    bool unencryptedOnly = false;
    for (const Method& method : ranked) {
        if (std::find(offered.begin(), offered.end(), method.type) == offered.end()) {
            continue;
        }
        if (configuration.requireEncryption && !method.encrypts) {
            unencryptedOnly = true;
        } else if (satisfied(method.needs, configuration.credentials)) {
            return method.type;
        } else if (!missing || method.needs == Needs::password) {
            // A password alone is the smaller thing to ask for.
            missing = method.needs == Needs::password ? RFBCredentialKind::password
                                                      : RFBCredentialKind::usernameAndPassword;
        }
    }
    if (missing) {
        throw RFBError::credentialsRequired(*missing);
    }
    if (unencryptedOnly) {
        throw RFBError::encryptionRequired();
    }
    return std::nullopt;
}

void vncAuthenticate(SecurityChannel& channel, const RFBConfiguration& configuration) {
    if (!configuration.credentials) {
        throw RFBError::credentialsRequired(RFBCredentialKind::password);
    }
    std::array<std::uint8_t, 16> challenge;
    RFBInput& input = channel.input();
    input.ensure(16);
    std::copy_n(input.data(), 16, challenge.begin());
    input.advance(16);
    const auto response =
        VNCAuthentication::response(challenge, configuration.credentials->password);
    channel.send(response);
}

void ardAuthenticate(SecurityChannel& channel, const RFBConfiguration& configuration) {
    const auto& credentials = configuration.credentials;
    if (!credentials || credentials->username.empty()) {
        throw RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword);
    }
    RFBInput& input = channel.input();
    ARDAuthentication::Parameters parameters;
    input.ensure(2);
    std::copy_n(input.data(), 2, parameters.generator.begin());
    input.advance(2);
    const std::uint16_t keyLength = input.u16();
    if (keyLength < 16 || keyLength > 512) {
        throw RFBError::protocolViolation("ARD key length");
    }
    parameters.prime = input.bytes(keyLength);
    parameters.serverKey = input.bytes(keyLength);
    auto response =
        ARDAuthentication::response(parameters, credentials->username, credentials->password);
    std::vector<std::uint8_t> message = std::move(response.credentials);
    message.insert(message.end(), response.publicKey.begin(), response.publicKey.end());
    channel.send(message);
}

// VeNCrypt's Plain: the user name and the password as they are, which is why it only ever runs
// inside TLS.
void plainAuthenticate(SecurityChannel& channel, const RFBConfiguration& configuration) {
    const auto& credentials = configuration.credentials;
    if (!credentials || credentials->username.empty()) {
        throw RFBError::credentialsRequired(RFBCredentialKind::usernameAndPassword);
    }
    if (credentials->username.size() > maxCredentialLength ||
        credentials->password.size() > maxCredentialLength) {
        throw RFBError::authenticationFailed("The user name or password is too long.");
    }
    std::vector<std::uint8_t> message;
    appendU32(message, static_cast<std::uint32_t>(credentials->username.size()));
    appendU32(message, static_cast<std::uint32_t>(credentials->password.size()));
    message.insert(message.end(), credentials->username.begin(), credentials->username.end());
    message.insert(message.end(), credentials->password.begin(), credentials->password.end());
    channel.send(message);
}

RFBProtection startTLS(SecurityChannel& channel, const RFBConfiguration& configuration,
                       const std::string& serverName, bool anonymous) {
    TLSStream* tls = nullptr;
    channel.filterThrough([&](RFBInput& below, RFBStream& beneath) {
        auto stream = std::make_unique<TLSStream>(
            below, beneath, TLSStream::Options{anonymous, serverName, configuration.caFiles});
        tls = stream.get();
        return stream;
    });
    RFBProtection protection{true, tls->version(), RFBProtection::Identity::none};
    if (tls->identity()) {
        protection.identity = acceptIdentity(*tls->identity(), configuration);
    }
    return protection;
}

RFBProtection veNCrypt(SecurityChannel& channel, const RFBConfiguration& configuration,
                       const std::string& serverName) {
    RFBInput& input = channel.input();
    const std::uint8_t major = input.u8();
    const std::uint8_t minor = input.u8();
    if (major != 0 || minor < 2) {
        throw RFBError::protocolViolation("VeNCrypt version " + std::to_string(major) + "." +
                                          std::to_string(minor));
    }
    channel.send(std::array<std::uint8_t, 2>{0, 2});
    if (input.u8() != 0) {
        throw RFBError::protocolViolation("VeNCrypt version refused");
    }
    const std::uint8_t count = input.u8();
    if (count == 0 || count > maxSubtypes) {
        throw RFBError::protocolViolation("VeNCrypt subtype count " + std::to_string(count));
    }
    std::vector<std::uint32_t> subtypes;
    for (std::uint8_t i = 0; i < count; ++i) {
        subtypes.push_back(input.u32());
    }
    const std::optional<std::uint32_t> chosen = choose(subtypes, veNCryptMethods, configuration);
    if (!chosen) {
        if (std::find(subtypes.begin(), subtypes.end(), VeNCryptSubtype::plain) != subtypes.end()) {
            throw RFBError::passwordInClearText();
        }
        throw RFBError::noSupportedSecurityType({RFBSecurityType::veNCrypt});
    }
    std::vector<std::uint8_t> choice;
    appendU32(choice, *chosen);
    channel.send(choice);

    switch (*chosen) {
        case RFBSecurityType::none:
            return {};
        case RFBSecurityType::vncAuthentication:
            vncAuthenticate(channel, configuration);
            return {};
        default:
            break;
    }
    if (input.u8() != 1) {
        throw RFBError::serverRefused({});
    }
    const bool anonymous = *chosen == VeNCryptSubtype::tlsNone ||
                           *chosen == VeNCryptSubtype::tlsVnc ||
                           *chosen == VeNCryptSubtype::tlsPlain;
    const RFBProtection protection = startTLS(channel, configuration, serverName, anonymous);
    switch (*chosen) {
        case VeNCryptSubtype::tlsVnc:
        case VeNCryptSubtype::x509Vnc:
            vncAuthenticate(channel, configuration);
            break;
        case VeNCryptSubtype::tlsPlain:
        case VeNCryptSubtype::x509Plain:
            plainAuthenticate(channel, configuration);
            break;
        default:
            break;
    }
    return protection;
}

// Type 18: TLS at once, and inside it the server offers its types again.
SecurityOutcome anonymousTLS(SecurityChannel& channel, const RFBConfiguration& configuration,
                             const std::string& serverName) {
    const RFBProtection protection = startTLS(channel, configuration, serverName, true);
    RFBInput& input = channel.input();
    const std::uint8_t count = input.u8();
    if (count == 0) {
        throw RFBError::serverRefused({});
    }
    input.ensure(count);
    std::vector<std::uint8_t> types(input.data(), input.data() + count);
    input.advance(count);
    // Whatever runs inside is protected by the TLS around it.
    RFBConfiguration inside = configuration;
    inside.requireEncryption = false;
    std::erase_if(types, [](std::uint8_t type) {
        return type == RFBSecurityType::tls || type == RFBSecurityType::veNCrypt;
    });
    const std::uint8_t type = chooseSecurityType(types, inside);
    channel.send(std::array{type});
    return {protection, runSecurity(type, channel, inside, serverName).authenticatedBy};
}

}  // namespace

void appendU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// Accepted when the system vouches for the certificate, when it is the identity the user trusted
// for this server, or when it has the fingerprint accepted for this attempt. Nobody but the user
// vouches for an RSA-AES key.
RFBProtection::Identity acceptIdentity(const RFBIdentity& identity,
                                       const RFBConfiguration& configuration) {
    if (identity.kind == RFBIdentity::Kind::certificate && identity.problems.empty()) {
        return RFBProtection::Identity::verified;
    }
    const auto& trusted = configuration.trustedIdentity;
    if ((trusted && trusted->sameAs(identity)) ||
        (configuration.trustedFingerprint &&
         identity.hasFingerprint(*configuration.trustedFingerprint))) {
        return RFBProtection::Identity::trustedByUser;
    }
    if (trusted) {
        throw RFBError::identityChanged(identity);
    }
    throw RFBError::identityNotTrusted(identity);
}

std::uint8_t chooseSecurityType(const std::vector<std::uint8_t>& types,
                                const RFBConfiguration& configuration) {
    const std::vector<std::uint32_t> offered(types.begin(), types.end());
    if (const auto chosen = choose(offered, topLevelMethods, configuration)) {
        return static_cast<std::uint8_t>(*chosen);
    }
    throw RFBError::noSupportedSecurityType(types);
}

SecurityOutcome runSecurity(std::uint8_t type, SecurityChannel& channel,
                            const RFBConfiguration& configuration, const std::string& serverName) {
    // A type the server dictated (before 3.7) is refused before any credential is sent.
    const auto method = std::find_if(topLevelMethods.begin(), topLevelMethods.end(),
                                     [type](const Method& m) { return m.type == type; });
    if (configuration.requireEncryption && method != topLevelMethods.end() && !method->encrypts) {
        throw RFBError::encryptionRequired();
    }
    switch (type) {
        case RFBSecurityType::none:
            break;
        case RFBSecurityType::vncAuthentication:
            vncAuthenticate(channel, configuration);
            break;
        case RFBSecurityType::appleRemoteDesktop:
            ardAuthenticate(channel, configuration);
            break;
        case RFBSecurityType::veNCrypt:
            return {veNCrypt(channel, configuration, serverName), type};
        case RFBSecurityType::tls:
            return anonymousTLS(channel, configuration, serverName);
        case RFBSecurityType::rsaAES:
        case RFBSecurityType::rsaAESCredentialsOnly:
        case RFBSecurityType::rsaAES256:
        case RFBSecurityType::rsaAES256CredentialsOnly:
            return {rsaAES(type, channel, configuration), type};
        default:
            throw RFBError::noSupportedSecurityType({type});
    }
    return {{}, type};
}

}  // namespace rfb
