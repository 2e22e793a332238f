#include "Authentication.hpp"

#include <nettle/aes.h>
#include <nettle/des.h>
#include <nettle/md5.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "BigUInt.hpp"
#include "RFBError.hpp"

namespace rfb {

namespace {

// Clears memory that held key material before it is released. The volatile stores cannot be
// dropped as dead writes the way a plain fill right before deallocation can.
void wipe(void* data, std::size_t size) {
    auto* bytes = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

// Wipes a buffer on every way out of a scope, exceptions included.
class WipeOnExit {
  public:
    WipeOnExit(void* data, std::size_t size) : data_(data), size_(size) {}
    ~WipeOnExit() { wipe(data_, size_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    void* data_;
    std::size_t size_;
};

[[noreturn]] void cipherFailure(std::int32_t status) {
    throw RFBError::protocolViolation("cipher failure " + std::to_string(status));
}

// VNC's DES key takes each password byte with its bit order reversed (an artefact of the
// original implementation's DES code, which every server reproduces).
std::uint8_t reversedBits(std::uint8_t byte) {
    std::uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        result = static_cast<std::uint8_t>((result << 1) | ((byte >> bit) & 1));
    }
    return result;
}

}  // namespace

namespace VNCAuthentication {

std::vector<std::uint8_t> crypt(Algorithm algorithm, std::span<const std::uint8_t> key,
                                std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> output(input.size(), 0);
    switch (algorithm) {
        case Algorithm::des: {
            if (key.size() != DES_KEY_SIZE) {
                cipherFailure(cipherKeySizeError);
            }
            if (input.size() % DES_BLOCK_SIZE != 0) {
                cipherFailure(cipherAlignmentError);
            }
            des_ctx context;
            WipeOnExit wipeContext(&context, sizeof context);
            // Nettle flags weak keys but still schedules them. An empty password yields the
            // all-zero key, which is weak and must work all the same.
            static_cast<void>(des_set_key(&context, key.data()));
            des_encrypt(&context, input.size(), output.data(), input.data());
            return output;
        }
        case Algorithm::aes: {
            if (key.size() != AES128_KEY_SIZE) {
                cipherFailure(cipherKeySizeError);
            }
            if (input.size() % AES_BLOCK_SIZE != 0) {
                cipherFailure(cipherAlignmentError);
            }
            aes128_ctx context;
            WipeOnExit wipeContext(&context, sizeof context);
            aes128_set_encrypt_key(&context, key.data());
            aes128_encrypt(&context, input.size(), output.data(), input.data());
            return output;
        }
    }
    cipherFailure(cipherParameterError);
}

std::array<std::uint8_t, 16> response(const std::array<std::uint8_t, 16>& challenge,
                                      const std::string& password) {
    std::array<std::uint8_t, DES_KEY_SIZE> key{};
    WipeOnExit wipeKey(key.data(), key.size());
    const std::size_t used = std::min(password.size(), key.size());
    for (std::size_t i = 0; i < used; ++i) {
        key[i] = reversedBits(static_cast<std::uint8_t>(password[i]));
    }
    const std::vector<std::uint8_t> encrypted = crypt(Algorithm::des, key, challenge);
    std::array<std::uint8_t, 16> result{};
    std::copy(encrypted.begin(), encrypted.end(), result.begin());
    return result;
}

std::array<std::uint8_t, 16> response(std::span<const std::uint8_t> challenge,
                                      const std::string& password) {
    std::array<std::uint8_t, 16> checked{};
    if (challenge.size() != checked.size()) {
        throw RFBError::protocolViolation("VNC challenge length");
    }
    std::copy(challenge.begin(), challenge.end(), checked.begin());
    return response(checked, password);
}

}  // namespace VNCAuthentication

namespace ARDAuthentication {

std::vector<std::uint8_t> randomBytes(std::size_t count) {
    std::vector<std::uint8_t> result(count);
    std::size_t filled = 0;
    while (filled < count) {
        // Requests above 256 bytes may be cut short by a signal; keep going until full.
        const ssize_t got = getrandom(result.data() + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw RFBError::protocolViolation("random number generation failed");
        }
        filled += static_cast<std::size_t>(got);
    }
    return result;
}

void place(std::string_view text, std::span<std::uint8_t> block, std::size_t offset) {
    if (text.size() >= fieldLength) {
        throw RFBError::authenticationFailed("The username or password is too long.");
    }
    if (offset >= block.size() || block.size() - offset <= text.size()) {
        throw std::out_of_range("ARDAuthentication::place: field outside the block");
    }
    std::copy(text.begin(), text.end(), block.begin() + static_cast<std::ptrdiff_t>(offset));
    block[offset + text.size()] = 0;
}

Response response(const Parameters& parameters, const std::string& username,
                  const std::string& password) {
    return response(parameters, username, password, randomBytes);
}

Response response(const Parameters& parameters, const std::string& username,
                  const std::string& password, const RandomSource& random) {
    const std::size_t keyLength = parameters.prime.size();
    if (keyLength < minimumKeyLength || keyLength > maximumKeyLength ||
        parameters.serverKey.size() != keyLength) {
        throw RFBError::protocolViolation("ARD key length " + std::to_string(keyLength));
    }
    const BigUInt prime(parameters.prime);
    if (!prime.isOdd()) {
        throw RFBError::protocolViolation("ARD prime");
    }
    const std::size_t width = prime.wordCount();

    // A server key of 0, 1 or p - 1 (after reduction) pins the shared secret to a value anyone
    // can compute, so the credentials would travel as good as unencrypted. Refuse before any
    // secret is involved.
    const BigUInt serverKey(parameters.serverKey, width);
    const BigUInt::Words reducedKey = prime.reduce(serverKey.words()).words();
    BigUInt::Words primeLessOne = prime.words();
    BigUInt::subtract(primeLessOne, BigUInt::Words{1});
    if (!BigUInt::greaterOrEqual(reducedKey, BigUInt::Words{2}) || reducedKey == primeLessOne) {
        throw RFBError::protocolViolation("ARD server key");
    }

    const auto draw = [&random](std::size_t count) {
        std::vector<std::uint8_t> bytes = random(count);
        if (bytes.size() != count) {
            throw RFBError::protocolViolation("random number generation failed");
        }
        return bytes;
    };

    std::vector<std::uint8_t> privateKey = draw(keyLength);
    WipeOnExit wipePrivateKey(privateKey.data(), privateKey.size());
    const BigUInt generator(parameters.generator, width);
    const BigUInt publicKey = prime.power(generator, privateKey);
    std::vector<std::uint8_t> secret = prime.power(serverKey, privateKey).bytes(keyLength);
    WipeOnExit wipeSecret(secret.data(), secret.size());

    std::array<std::uint8_t, MD5_DIGEST_SIZE> aesKey;
    WipeOnExit wipeAESKey(aesKey.data(), aesKey.size());
    md5_ctx digest;
    md5_init(&digest);
    md5_update(&digest, secret.size(), secret.data());
    md5_digest(&digest, aesKey.size(), aesKey.data());
    wipe(&digest, sizeof digest);

    // Bytes after each string's zero keep their random filler rather than zeros.
    std::vector<std::uint8_t> block = draw(credentialsLength);
    WipeOnExit wipeBlock(block.data(), block.size());
    place(username, block, 0);
    place(password, block, fieldLength);

    return Response{VNCAuthentication::crypt(VNCAuthentication::Algorithm::aes, aesKey, block),
                    publicKey.bytes(keyLength)};
}

}  // namespace ARDAuthentication

}  // namespace rfb
