#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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

    Kind kind() const { return kind_; }
    // The payload text of the cases that carry one; empty otherwise.
    const std::string& text() const { return text_; }
    const std::vector<std::uint8_t>& types() const { return types_; }
    RFBCredentialKind credentialKind() const { return credentialKind_; }

    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const RFBError& other) const {
        return kind_ == other.kind_ && text_ == other.text_ && types_ == other.types_ &&
               credentialKind_ == other.credentialKind_;
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
    std::string description_;
};

// The receive thread was asked to stop. Not an RFBError: it ends a session without an error.
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

}  // namespace rfb
