#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Authentication.hpp"
#include "RFBError.hpp"
#include "TestData.hpp"

namespace {

using rfb::RFBError;
using Bytes = std::vector<std::uint8_t>;
using Challenge = std::array<std::uint8_t, 16>;
namespace VNC = rfb::VNCAuthentication;
namespace ARD = rfb::ARDAuthentication;

using rfbtest::dataFile;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

Challenge challenge(std::uint8_t first) {
    Challenge bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

template <typename Call>
RFBError errorFrom(Call&& call) {
    try {
        call();
    } catch (const RFBError& error) {
        return error;
    }
    ADD_FAILURE() << "no RFBError was thrown";
    return RFBError::protocolViolation("(nothing thrown)");
}

// Expected values below were computed with Cryptodome's DES (key bytes bit-reversed by hand),
// except where a published test vector is named.
TEST(VNCAuthentication, MatchesKnownAnswers) {
    // The all-zero key is a DES weak key; it must still encrypt. 8CA64DE9C1B123A7 is the
    // standard zero-key, zero-block DES answer.
    EXPECT_EQ(toHex(VNC::response(Challenge{}, "")), "8ca64de9c1b123a78ca64de9c1b123a7");
    EXPECT_EQ(toHex(VNC::response(challenge(0), "")), "491e890de9ace932838a49792f2213f3");
    EXPECT_EQ(toHex(VNC::response(challenge(0x10), "password")),
              "94e99e3a43013075d70943a454976a95");
    // 0x01 becomes key byte 0x80. Unreversed it would be a lone parity bit, which DES ignores,
    // and the answer would equal the empty password's.
    EXPECT_EQ(toHex(VNC::response(challenge(0), "\x01\x7f")), "1313cd0dd010b5482d8270f105da76f8");
}

TEST(VNCAuthentication, UsesOnlyTheFirstEightPasswordBytes) {
    const Challenge c = challenge(0x10);
    EXPECT_EQ(VNC::response(c, "password1"), VNC::response(c, "password"));
    EXPECT_EQ(VNC::response(c, "passwordXYZ-anything"), VNC::response(c, "password"));
    EXPECT_NE(VNC::response(c, "passwor"), VNC::response(c, "password"));

    // Bytes, not characters: the euro sign straddles byte 8 and is cut after its first byte.
    EXPECT_EQ(toHex(VNC::response(challenge(0), "abcdefg\u20ac")),
              "2e3a9174022180237279926b4b6c5c5d");
    EXPECT_EQ(VNC::response(challenge(0), "abcdefg\u20ac"),
              VNC::response(challenge(0), "abcdefg\xe2"));
}

TEST(VNCAuthentication, CryptMatchesPublishedVectorsAndReportsMisuse) {
    // DES: the "Now is t" example of FIPS 81's era; AES-128: FIPS-197 appendix C.1.
    EXPECT_EQ(toHex(VNC::crypt(VNC::Algorithm::des, fromHex("0123456789abcdef"),
                               fromHex("4e6f772069732074"))),
              "3fa40e8a984d4815");
    const Bytes aesKey = fromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes block = fromHex("00112233445566778899aabbccddeeff");
    EXPECT_EQ(toHex(VNC::crypt(VNC::Algorithm::aes, aesKey, block)),
              "69c4e0d86a7b0430d8cdb78070b4c55a");

    const auto failure = [](VNC::Algorithm algorithm, const Bytes& key, const Bytes& input) {
        return errorFrom([&] { VNC::crypt(algorithm, key, input); }).text();
    };
    EXPECT_EQ(failure(VNC::Algorithm::aes, Bytes(15), Bytes(16)), "cipher failure -4310");
    EXPECT_EQ(failure(VNC::Algorithm::des, Bytes(8), Bytes(12)), "cipher failure -4303");
    EXPECT_EQ(failure(static_cast<VNC::Algorithm>(7), Bytes(16), Bytes(16)),
              "cipher failure -4300");

    for (std::size_t length : {15, 17}) {
        const Bytes challenge(length, 0);
        EXPECT_EQ(errorFrom([&] { VNC::response(std::span(challenge), "x"); }).text(),
                  "VNC challenge length");
    }
}

// Hands out fixed bytes in order and records what was asked for.
struct ScriptedRandom {
    std::vector<Bytes> answers;
    std::vector<std::size_t> requests;
    ARD::RandomSource source() {
        return [this](std::size_t count) {
            requests.push_back(count);
            if (requests.size() > answers.size()) {
                return Bytes(count, 0x5A);
            }
            return answers[requests.size() - 1];
        };
    }
};

std::vector<std::map<std::string, Bytes>> readExchanges() {
    std::ifstream file(dataFile("ard_exchanges.txt"));
    EXPECT_TRUE(file) << dataFile("ard_exchanges.txt");
    std::vector<std::map<std::string, Bytes>> exchanges;
    std::string line;
    bool inBlock = false;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            inBlock = false;
            continue;
        }
        if (!inBlock) {
            exchanges.emplace_back();
            inBlock = true;
        }
        std::istringstream fields(line);
        std::string name, hex;
        fields >> name >> hex;
        exchanges.back()[name] = hex == "-" ? Bytes{} : fromHex(hex);
    }
    return exchanges;
}

ARD::Parameters parameters(const std::map<std::string, Bytes>& exchange) {
    const Bytes& g = exchange.at("generator");
    return {{g.at(0), g.at(1)}, exchange.at("prime"), exchange.at("serverKey")};
}

// The exchanges were computed by make_auth_vectors.py with Python integers and Cryptodome:
// 1024-bit group 2, a server key above the prime, 63-byte UTF-8 fields, an empty password,
// and the 16- and 512-byte extremes of the key length.
TEST(ARDAuthentication, MatchesAnIndependentComputation) {
    const auto exchanges = readExchanges();
    ASSERT_GE(exchanges.size(), 6u);
    for (const auto& exchange : exchanges) {
        const Bytes& prime = exchange.at("prime");
        ScriptedRandom random{{exchange.at("privateKey"), exchange.at("filler")}, {}};
        const auto& user = exchange.at("username");
        const auto& word = exchange.at("password");
        const ARD::Response response =
            ARD::response(parameters(exchange), std::string(user.begin(), user.end()),
                          std::string(word.begin(), word.end()), random.source());
        EXPECT_EQ(random.requests, (std::vector<std::size_t>{prime.size(), 128}));
        EXPECT_EQ(toHex(response.publicKey), toHex(exchange.at("publicKey")))
            << prime.size() << "-byte key";
        EXPECT_EQ(toHex(response.credentials), toHex(exchange.at("credentials")))
            << prime.size() << "-byte key";
    }
}

TEST(ARDAuthentication, RejectsBadParametersBeforeDrawingRandomBytes) {
    const auto exchange = readExchanges().at(0);
    const ARD::Parameters good = parameters(exchange);

    const auto rejection = [](const ARD::Parameters& p) {
        ScriptedRandom random;
        const RFBError error =
            errorFrom([&] { ARD::response(p, "user", "password", random.source()); });
        EXPECT_EQ(error.kind(), RFBError::Kind::protocolViolation);
        EXPECT_TRUE(random.requests.empty()) << error.text();
        return error.text();
    };

    ARD::Parameters p = good;
    p.prime.resize(15, 0x01);
    p.serverKey.resize(15);
    EXPECT_EQ(rejection(p), "ARD key length 15");
    p = good;
    p.prime.assign(513, 0x01);
    p.serverKey.assign(513, 0x02);
    EXPECT_EQ(rejection(p), "ARD key length 513");
    p = good;
    p.serverKey.pop_back();
    EXPECT_EQ(rejection(p), "ARD key length 128");
    p = good;
    p.prime.back() ^= 1;
    EXPECT_EQ(rejection(p), "ARD prime");

    // Server keys that fix the shared secret whatever the private key: 0, 1, p - 1, and p,
    // which is 0 once reduced. 2 is the smallest acceptable key.
    const auto small = [&](std::uint8_t value) {
        Bytes key(good.prime.size(), 0);
        key.back() = value;
        return key;
    };
    Bytes pMinusOne = good.prime;
    pMinusOne.back() ^= 1;
    for (const Bytes& key : {small(0), small(1), pMinusOne, good.prime}) {
        p = good;
        p.serverKey = key;
        EXPECT_EQ(rejection(p), "ARD server key") << toHex(key).substr(0, 8);
    }
    p.serverKey = small(2);
    ScriptedRandom random;
    EXPECT_NO_THROW(ARD::response(p, "user", "", random.source()));
}

TEST(ARDAuthentication, CredentialsFillTheirHalvesOfTheBlockOrAreRefused) {
    Bytes block(128, 0xAA);
    ARD::place(std::string(63, 'u'), block, 0);
    ARD::place("pw", block, 64);
    Bytes expected(128, 0xAA);
    std::fill_n(expected.begin(), 63, 'u');
    expected[63] = 0;
    expected[64] = 'p';
    expected[65] = 'w';
    expected[66] = 0;
    EXPECT_EQ(block, expected);
    EXPECT_THROW(ARD::place("abc", block, 125), std::out_of_range);

    const ARD::Parameters p = parameters(readExchanges().at(0));
    const std::string tooLong(64, 'a');
    for (const auto& [username, password] :
         std::vector<std::pair<std::string, std::string>>{{tooLong, "pw"}, {"user", tooLong}}) {
        ScriptedRandom random;
        const RFBError error =
            errorFrom([&] { ARD::response(p, username, password, random.source()); });
        EXPECT_EQ(error.kind(), RFBError::Kind::authenticationFailed);
        EXPECT_EQ(error.text(), "The username or password is too long.");
    }
}

TEST(ARDAuthentication, UsesFreshSystemRandomnessEachTime) {
    EXPECT_EQ(ARD::randomBytes(1000).size(), 1000u);
    EXPECT_NE(ARD::randomBytes(32), ARD::randomBytes(32));
    // A source that comes up short is a failure, not a shorter key.
    const ARD::RandomSource shortSource = [](std::size_t count) { return Bytes(count - 1); };
    const ARD::Parameters p = parameters(readExchanges().at(0));
    EXPECT_EQ(errorFrom([&] { ARD::response(p, "u", "p", shortSource); }).text(),
              "random number generation failed");

    const ARD::Response first = ARD::response(p, "user", "password");
    const ARD::Response second = ARD::response(p, "user", "password");
    EXPECT_EQ(first.credentials.size(), 128u);
    EXPECT_EQ(first.publicKey.size(), p.prime.size());
    EXPECT_NE(first.publicKey, second.publicKey);
    EXPECT_NE(first.credentials, second.credentials);
}

}  // namespace
