#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "Identity.hpp"

namespace rfb {

enum class RFBCredentialKind { password, usernameAndPassword };

// The library's only error type. Every failure a user can see is one of these cases; the
// description texts are user-visible and fixed.
class RFBError : public std::exception {
  public:
    enum class Kind {
        invalidAddress,
        connectionFailed,
        unsupportedVersion,
        serverRefused,
        noSupportedSecurityType,
        credentialsRequired,
        authenticationFailed,
        protocolViolation,
        connectionClosed,
        timedOut,
        // Security the user asked for, or that protects a password, is not to be had.
        encryptionRequired,
        passwordInClearText,
        // The TLS layer failed; the text says where, with the library's own words.
        secureConnectionFailed,
        // The server's identity is not one the system or the user vouches for; it is attached.
        identityNotTrusted,
        identityChanged,
        // The SSH gateway could not carry the session; the text says why, with ssh's words.
        gatewayFailed,
    };

    static RFBError invalidAddress(std::string text) {
        return {Kind::invalidAddress, std::move(text)};
    }
    static RFBError connectionFailed(std::string text) {
        return {Kind::connectionFailed, std::move(text)};
    }
    static RFBError unsupportedVersion(std::string text) {
        return {Kind::unsupportedVersion, std::move(text)};
    }
    static RFBError serverRefused(std::string text) {
        return {Kind::serverRefused, std::move(text)};
    }
    static RFBError noSupportedSecurityType(std::vector<std::uint8_t> types);
    static RFBError credentialsRequired(RFBCredentialKind kind);
    static RFBError authenticationFailed(std::string text) {
        return {Kind::authenticationFailed, std::move(text)};
    }
    static RFBError protocolViolation(std::string text) {
        return {Kind::protocolViolation, std::move(text)};
    }
    static RFBError connectionClosed() { return {Kind::connectionClosed, {}}; }
    static RFBError timedOut() { return {Kind::timedOut, {}}; }
    static RFBError encryptionRequired() { return {Kind::encryptionRequired, {}}; }
    static RFBError passwordInClearText() { return {Kind::passwordInClearText, {}}; }
    static RFBError secureConnectionFailed(std::string text) {
        return {Kind::secureConnectionFailed, std::move(text)};
    }
    static RFBError gatewayFailed(std::string text) {
        return {Kind::gatewayFailed, std::move(text)};
    }
    static RFBError identityNotTrusted(RFBIdentity identity);
    static RFBError identityChanged(RFBIdentity identity);

    Kind kind() const { return kind_; }
    // The payload text of the cases that carry one; empty otherwise.
    const std::string& text() const { return text_; }
    const std::vector<std::uint8_t>& types() const { return types_; }
    RFBCredentialKind credentialKind() const { return credentialKind_; }
    const std::optional<RFBIdentity>& identity() const { return identity_; }

    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const RFBError& other) const {
        return kind_ == other.kind_ && text_ == other.text_ && types_ == other.types_ &&
               credentialKind_ == other.credentialKind_ && identity_ == other.identity_;
    }

  private:
    RFBError(Kind kind, std::string text, std::vector<std::uint8_t> types = {},
             RFBCredentialKind credentialKind = RFBCredentialKind::password);
    static std::string describe(Kind kind, const std::string& text,
                                const std::vector<std::uint8_t>& types);

    Kind kind_;
    std::string text_;
    std::vector<std::uint8_t> types_;
    RFBCredentialKind credentialKind_;
    std::optional<RFBIdentity> identity_;
    std::string description_;
};

// The receive thread was asked to stop. Not an RFBError: it ends a session without an error.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace rfb
