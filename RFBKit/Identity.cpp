#include "Identity.hpp"

#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <array>
#include <cctype>
#include <span>

namespace rfb {

namespace {

std::string hexPairs(std::span<const std::uint8_t> bytes, char separator, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty()) {
            text += separator;
        }
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::string hexDigitsOnly(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != '-' && c != ' ') {
            return {};
        }
    }
    return digits;
}

}  // namespace

std::string RFBIdentity::fingerprint() const {
    if (kind == Kind::certificate) {
        std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest;
        sha256_ctx context;
        sha256_init(&context);
        sha256_update(&context, data.size(), data.data());
        sha256_digest(&context, digest.size(), digest.data());
        return hexPairs(digest, ':', true);
    }
    std::array<std::uint8_t, SHA1_DIGEST_SIZE> digest;
    sha1_ctx context;
    sha1_init(&context);
    sha1_update(&context, data.size(), data.data());
    sha1_digest(&context, digest.size(), digest.data());
    return hexPairs(std::span(digest).first(8), '-', false);
}

bool RFBIdentity::hasFingerprint(std::string_view text) const {
    const std::string digits = hexDigitsOnly(text);
    return !digits.empty() && digits == hexDigitsOnly(fingerprint());
}

}  // namespace rfb
