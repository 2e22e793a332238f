#include "RFBError.hpp"

namespace rfb {

RFBError::RFBError(Kind kind, std::string text, std::vector<std::uint8_t> types,
                   RFBCredentialKind credentialKind)
    : kind_(kind),
      text_(std::move(text)),
      types_(std::move(types)),
      credentialKind_(credentialKind),
      description_(describe(kind_, text_, types_)) {}

RFBError RFBError::noSupportedSecurityType(std::vector<std::uint8_t> types) {
    return {Kind::noSupportedSecurityType, {}, std::move(types)};
}

RFBError RFBError::credentialsRequired(RFBCredentialKind kind) {
    return {Kind::credentialsRequired, {}, {}, kind};
}

RFBError RFBError::identityNotTrusted(RFBIdentity identity) {
    RFBError error(Kind::identityNotTrusted, {});
    error.identity_ = std::move(identity);
    return error;
}

RFBError RFBError::identityChanged(RFBIdentity identity) {
    RFBError error(Kind::identityChanged, {});
    error.identity_ = std::move(identity);
    return error;
}

std::string RFBError::describe(Kind kind, const std::string& text,
                               const std::vector<std::uint8_t>& types) {
    switch (kind) {
        case Kind::invalidAddress:
            return "\u201C" + text + "\u201D isn\u2019t a valid computer address.";
        case Kind::connectionFailed:
            return "The connection failed: " + text;
        case Kind::unsupportedVersion:
            return "The remote computer uses an unsupported protocol version (" + text + ").";
        case Kind::serverRefused:
            return text.empty() ? "The remote computer refused the connection." : text;
        case Kind::noSupportedSecurityType: {
            std::string list;
            for (std::uint8_t type : types) {
                if (!list.empty()) {
                    list += ", ";
                }
                list += std::to_string(type);
            }
            return "None of the authentication methods offered by the remote computer are "
                   "supported (" +
                   list + ").";
        }
        case Kind::credentialsRequired:
            return "Authentication is required.";
        case Kind::authenticationFailed:
            return text.empty() ? "Access was denied because of an invalid username or password."
                                : text;
        case Kind::protocolViolation:
            return "The remote computer sent unexpected data (" + text + ").";
        case Kind::connectionClosed:
            return "The remote computer closed the connection.";
        case Kind::timedOut:
            return "The remote computer didn\u2019t respond in time.";
        case Kind::encryptionRequired:
            return "The remote computer offers no encrypted connection, and this computer "
                   "requires one.";
        case Kind::passwordInClearText:
            return "The remote computer accepts the password only unencrypted, and it is never "
                   "sent that way.";
        case Kind::secureConnectionFailed:
            return "The secure connection failed: " + text;
        case Kind::identityNotTrusted:
            return "The identity of the remote computer can\u2019t be verified.";
        case Kind::identityChanged:
            return "The identity of the remote computer has changed since it was trusted.";
        case Kind::gatewayFailed:
            return text;
    }
    return {};
}

}  // namespace rfb
