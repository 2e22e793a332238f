#include "RSAAES.hpp"

#include <gmp.h>
#include <nettle/aes.h>
#include <nettle/bignum.h>
#include <nettle/rsa.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Authentication.hpp"
#include "EAXStream.hpp"
#include "MessageTypes.hpp"
#include "RFBError.hpp"

namespace rfb {

namespace {

constexpr std::uint32_t minimumKeyBits = 1024;
constexpr std::uint32_t maximumKeyBits = 8192;
constexpr std::uint32_t clientKeyBits = 2048;
constexpr std::size_t maxCredentialLength = 255;
constexpr std::uint8_t usernameAndPassword = 1;
constexpr std::uint8_t passwordOnly = 2;

// Bytes wiped before their memory is given back.
struct Secret : std::vector<std::uint8_t> {
    using vector::vector;
    explicit Secret(std::vector<std::uint8_t>&& bytes) : vector(std::move(bytes)) {}
    ~Secret() {
        if (capacity() > 0) {
            explicit_bzero(data(), capacity());
        }
    }
};

// A nettle or GMP value, set up and cleared as its library wants.
template <typename T, auto init, auto clear>
struct Held {
    Held() { init(&value); }
    ~Held() { clear(&value); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T value;
};
using PublicKey = Held<rsa_public_key, &rsa_public_key_init, &rsa_public_key_clear>;
using PrivateKey = Held<rsa_private_key, &rsa_private_key_init, &rsa_private_key_clear>;
using Integer = Held<__mpz_struct, &mpz_init, &mpz_clear>;

// Where nettle draws random bytes from. Nothing may be thrown through nettle, so a failure is
// kept and thrown once nettle has returned.
class Randomness {
  public:
    static void fill(void* self, std::size_t length, std::uint8_t* destination) {
        try {
            const Secret bytes(ARDAuthentication::randomBytes(length));
            std::copy(bytes.begin(), bytes.end(), destination);
        } catch (...) {
            static_cast<Randomness*>(self)->failure_ = std::current_exception();
        }
    }
    void check() const {
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

  private:
    std::exception_ptr failure_;
};

// A key on the wire: its size in bits, then the modulus and the exponent, each in as many bytes
// as the size takes, most significant first.
std::size_t byteLength(std::uint32_t bits) {
    return (bits + 7) / 8;
}

// The server's key, bounded in size and checked before anything is encrypted to it.
struct ServerKey {
    explicit ServerKey(RFBInput& input) {
        input.ensure(4);
        wire.assign(input.data(), input.data() + 4);
        const std::uint32_t bits = input.u32();
        if (bits < minimumKeyBits || bits > maximumKeyBits) {
            throw RFBError::protocolViolation("RSA key size " + std::to_string(bits));
        }
        length = byteLength(bits);
        const std::vector<std::uint8_t> numbers = input.bytes(2 * length);
        wire.insert(wire.end(), numbers.begin(), numbers.end());
        nettle_mpz_set_str_256_u(key.value.n, length, numbers.data());
        nettle_mpz_set_str_256_u(key.value.e, length, numbers.data() + length);
        if (mpz_even_p(key.value.n) || rsa_public_key_prepare(&key.value) == 0) {
            throw RFBError::protocolViolation("RSA key");
        }
    }

    // `secret` encrypted to this key, as a length and the modulus's number of bytes.
    std::vector<std::uint8_t> encrypt(std::span<const std::uint8_t> secret) const {
        Integer encrypted;
        Randomness randomness;
        const int done = rsa_encrypt(&key.value, &randomness, &Randomness::fill, secret.size(),
                                     secret.data(), &encrypted.value);
        randomness.check();
        if (done == 0) {
            throw RFBError::protocolViolation("RSA key");
        }
        std::vector<std::uint8_t> message(2 + length);
        message[0] = static_cast<std::uint8_t>(length >> 8);
        message[1] = static_cast<std::uint8_t>(length);
        nettle_mpz_get_str_256(length, message.data() + 2, &encrypted.value);
        return message;
    }

    PublicKey key;
    std::size_t length = 0;
    std::vector<std::uint8_t> wire;  // as sent: the server's identity
};

class ClientKey {
  public:
    ClientKey() {
        mpz_set_ui(public_.value.e, 65'537);
        Randomness randomness;
        const int made =
            rsa_generate_keypair(&public_.value, &private_.value, &randomness, &Randomness::fill,
                                 nullptr, nullptr, clientKeyBits, 0);
        randomness.check();
        if (made == 0) {
            throw RFBError::secureConnectionFailed("no RSA key could be made");
        }
        appendU32(wire_, clientKeyBits);
        wire_.resize(4 + 2 * length());
        nettle_mpz_get_str_256(length(), wire_.data() + 4, public_.value.n);
        nettle_mpz_get_str_256(length(), wire_.data() + 4 + length(), public_.value.e);
    }

    std::size_t length() const { return byteLength(clientKeyBits); }
    const std::vector<std::uint8_t>& wire() const { return wire_; }

    // The server's random of `size` bytes, encrypted to this key as a length and its bytes.
    Secret readRandom(RFBInput& input, std::size_t size) const {
        const std::uint16_t encryptedLength = input.u16();
        if (encryptedLength != length()) {
            throw RFBError::protocolViolation("RSA-AES random length " +
                                              std::to_string(encryptedLength));
        }
        Integer encrypted;
        input.ensure(length());
        nettle_mpz_set_str_256_u(&encrypted.value, length(), input.data());
        input.advance(length());
        Secret random(size);
        Randomness randomness;
        const bool decrypted =
            mpz_cmp(&encrypted.value, public_.value.n) < 0 &&
            rsa_sec_decrypt(&public_.value, &private_.value, &randomness, &Randomness::fill, size,
                            random.data(), &encrypted.value) == 1;
        randomness.check();
        if (!decrypted) {
            throw RFBError::secureConnectionFailed("the server’s random could not be decrypted");
        }
        return random;
    }

  private:
    PublicKey public_;
    PrivateKey private_;
    std::vector<std::uint8_t> wire_;
};

// Making a key pair takes tens of milliseconds, and the client's guards only the server's half of
// the session keys' secret, so one serves every connection of the process.
const ClientKey& clientKey() {
    static const ClientKey key;
    return key;
}

template <typename Context, auto init, auto update, auto digest, std::size_t size>
Secret hashOf(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Context context;
    init(&context);
    for (std::span<const std::uint8_t> part : parts) {
        update(&context, part.size(), part.data());
    }
    Secret result(size);
    digest(&context, size, result.data());
    return result;
}

// What the 256-bit types change: the hash, the AES key size and the randoms' size with it.
struct Suite {
    bool sha256;
    // RA2 rather than RA2ne: the session stays encrypted after the credentials.
    bool wholeSession;

    std::size_t keySize() const { return sha256 ? AES256_KEY_SIZE : AES128_KEY_SIZE; }
    Secret hash(std::initializer_list<std::span<const std::uint8_t>> parts) const {
        return sha256 ? hashOf<sha256_ctx, &sha256_init, &sha256_update, &sha256_digest,
                               SHA256_DIGEST_SIZE>(parts)
                      : hashOf<sha1_ctx, &sha1_init, &sha1_update, &sha1_digest, SHA1_DIGEST_SIZE>(
                            parts);
    }
    // Each direction's key: the hash of both randoms, the receiver's first.
    Secret sessionKey(std::span<const std::uint8_t> first,
                      std::span<const std::uint8_t> second) const {
        Secret key = hash({first, second});
        key.resize(keySize());
        return key;
    }
};

void sendCredentials(SecurityChannel& channel, std::uint8_t subtype,
                     const std::optional<RFBCredentials>& credentials) {
    if (subtype != usernameAndPassword && subtype != passwordOnly) {
        throw RFBError::protocolViolation("RSA-AES subtype " + std::to_string(subtype));
    }
    const bool named = subtype == usernameAndPassword;
    if (!credentials || (named && credentials->username.empty())) {
        throw RFBError::credentialsRequired(named ? RFBCredentialKind::usernameAndPassword
                                                  : RFBCredentialKind::password);
    }
    const std::string_view username = named ? std::string_view(credentials->username) : "";
    const std::string_view password = credentials->password;
    if (username.size() > maxCredentialLength || password.size() > maxCredentialLength) {
        throw RFBError::authenticationFailed("The user name or password is too long.");
    }
    Secret message;
    message.reserve(2 + username.size() + password.size());
    for (std::string_view text : {username, password}) {
        message.push_back(static_cast<std::uint8_t>(text.size()));
        message.insert(message.end(), text.begin(), text.end());
    }
    channel.send(message);
}

}  // namespace

RFBProtection rsaAES(std::uint8_t type, SecurityChannel& channel,
                     const RFBConfiguration& configuration) {
    const Suite suite{
        type == RFBSecurityType::rsaAES256 || type == RFBSecurityType::rsaAES256CredentialsOnly,
        type == RFBSecurityType::rsaAES || type == RFBSecurityType::rsaAES256};
    RFBInput& input = channel.input();
    const ServerKey server(input);
    const ClientKey& client = clientKey();
    channel.send(client.wire());
    const Secret serverRandom = client.readRandom(input, suite.keySize());
    const Secret clientRandom(ARDAuthentication::randomBytes(suite.keySize()));
    channel.send(server.encrypt(clientRandom));
    channel.filterThrough([&](RFBInput& below, RFBStream& beneath) {
        return std::make_unique<EAXStream>(below, beneath,
                                           suite.sessionKey(serverRandom, clientRandom),
                                           suite.sessionKey(clientRandom, serverRandom));
    });

    // The hashes agree only when the server could decrypt this client's random, so holds the key
    // it showed, and both saw the same two keys.
    channel.send(suite.hash({client.wire(), server.wire}));
    const Secret expected = suite.hash({server.wire, client.wire()});
    input.ensure(expected.size());
    if (!std::equal(expected.begin(), expected.end(), input.data())) {
        throw RFBError::secureConnectionFailed("the server did not prove that it holds its key");
    }
    input.advance(expected.size());
    const RFBProtection protection{
        suite.wholeSession,
        suite.wholeSession ? (suite.sha256 ? "RSA-AES-256" : "RSA-AES-128") : "",
        acceptIdentity({RFBIdentity::Kind::rsaKey, server.wire, {}}, configuration)};

    sendCredentials(channel, input.u8(), configuration.credentials);
    if (!suite.wholeSession) {
        // The security result follows in clear; anything else inside the records is a lie.
        if (input.available() != 0) {
            throw RFBError::protocolViolation("RSA-AES data after the subtype");
        }
        channel.endFilter();
    }
    return protection;
}

}  // namespace rfb
