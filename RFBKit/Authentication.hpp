#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rfb {

// Security type 2: DES of the server's challenge keyed by the password.
namespace VNCAuthentication {

// Block ciphers, numbered as in CommonCrypto's CCCrypt.
enum class Algorithm : std::uint32_t { aes = 0, des = 1 };

// Status codes carried in "cipher failure N", in CommonCrypto's numbering so that the text reads
// the same whichever cipher implementation the client is built on.
inline constexpr std::int32_t cipherParameterError = -4300;  // unknown algorithm
inline constexpr std::int32_t cipherAlignmentError = -4303;  // input not whole blocks
inline constexpr std::int32_t cipherKeySizeError = -4310;    // key of the wrong length

// Encrypts `input` in ECB mode without padding: AES-128 (16-byte key) or DES (8-byte key).
// The output is as long as the input. Throws RFBError::protocolViolation("cipher failure N").
std::vector<std::uint8_t> crypt(Algorithm algorithm, std::span<const std::uint8_t> key,
                                std::span<const std::uint8_t> input);

// The 16 bytes to send for a 16-byte challenge. Only the first 8 UTF-8 bytes of the password
// count; an empty password is valid (an all-zero key). Throws RFBError on a cipher failure.
std::array<std::uint8_t, 16> response(const std::array<std::uint8_t, 16>& challenge,
                                      const std::string& password);
// The same for a challenge of unchecked length: anything but 16 bytes throws
// RFBError::protocolViolation("VNC challenge length").
std::array<std::uint8_t, 16> response(std::span<const std::uint8_t> challenge,
                                      const std::string& password);

}  // namespace VNCAuthentication

// Security type 30: Diffie-Hellman key agreement, then AES-128 of the user name and password.
namespace ARDAuthentication {

inline constexpr std::size_t minimumKeyLength = 16;
inline constexpr std::size_t maximumKeyLength = 512;
inline constexpr std::size_t credentialsLength = 128;
// The user name fills the first half of the credential block, the password the second; each
// needs room for its terminating zero.
inline constexpr std::size_t fieldLength = 64;

struct Parameters {
    std::array<std::uint8_t, 2> generator;
    std::vector<std::uint8_t> prime;      // key-length bytes, big-endian
    std::vector<std::uint8_t> serverKey;  // key-length bytes, big-endian
};
struct Response {
    std::vector<std::uint8_t> credentials;  // 128 bytes
    std::vector<std::uint8_t> publicKey;    // key-length bytes
};

// Where the private key and the credential block's filler come from: returns exactly `count`
// bytes or throws.
using RandomSource = std::function<std::vector<std::uint8_t>(std::size_t count)>;

// `count` bytes from the system's secure random source. Throws
// RFBError::protocolViolation("random number generation failed").
std::vector<std::uint8_t> randomBytes(std::size_t count);

// Writes `text` and a terminating zero into block[offset ...]. Throws
// RFBError::authenticationFailed when the text has 64 bytes or more (it would not fit its half of
// the block), and std::out_of_range when the text and its zero would run past the block's end.
void place(std::string_view text, std::span<std::uint8_t> block, std::size_t offset);

// Throws RFBError (authenticationFailed for credentials too long to send).
Response response(const Parameters& parameters, const std::string& username,
                  const std::string& password);
// The same with a chosen random source, so that an exchange can be replayed exactly.
Response response(const Parameters& parameters, const std::string& username,
                  const std::string& password, const RandomSource& random);

}  // namespace ARDAuthentication

}  // namespace rfb
