#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "Authentication.hpp"
#include "ByteSource.hpp"
#include "TestData.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Challenge = std::array<std::uint8_t, 16>;
namespace VNC = rfb::VNCAuthentication;
namespace ARD = rfb::ARDAuthentication;

using rfbtest::dataFile;
using rfbtest::violation;

Bytes fromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Challenge challenge(std::uint8_t first) {
    Challenge bytes;
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Expected values were computed with Cryptodome's DES (key bytes bit-reversed by hand).
TEST(VNCAuthentication, MatchesKnownAnswers) {
    const struct {
        Challenge challenge;
        std::string password, response;
    } cases[] = {
        // The all-zero key is a DES weak key that must still encrypt: the standard zero answer.
        {Challenge{}, "", "8ca64de9c1b123a78ca64de9c1b123a7"},
        {challenge(0), "", "491e890de9ace932838a49792f2213f3"},
        {challenge(0x10), "password", "94e99e3a43013075d70943a454976a95"},
        // Only the first eight bytes count.
        {challenge(0x10), "passwordXYZ-anything", "94e99e3a43013075d70943a454976a95"},
        // 0x01 becomes key byte 0x80; unreversed it would be a parity bit, which DES ignores.
        {challenge(0), "\x01\x7f", "1313cd0dd010b5482d8270f105da76f8"},
        // Bytes, not characters: the euro sign straddling byte 8 is cut after its first byte.
        {challenge(0), "abcdefg\u20ac", "2e3a9174022180237279926b4b6c5c5d"},
    };
    for (const auto& c : cases) {
        const auto response = VNC::response(c.challenge, c.password);
        EXPECT_EQ(Bytes(response.begin(), response.end()), fromHex(c.response)) << c.password;
    }
}

// DES and AES themselves are checked through the known answers above and the ARD exchanges.
TEST(VNCAuthentication, CryptReportsMisuse) {
    const auto failure = [](VNC::Algorithm algorithm, const Bytes& key, const Bytes& input) {
        return violation([&] { VNC::crypt(algorithm, key, input); });
    };
    EXPECT_EQ(failure(VNC::Algorithm::aes, Bytes(15), Bytes(16)), "cipher failure -4310");
    EXPECT_EQ(failure(VNC::Algorithm::des, Bytes(8), Bytes(12)), "cipher failure -4303");
    EXPECT_EQ(failure(static_cast<VNC::Algorithm>(7), Bytes(16), Bytes(16)),
              "cipher failure -4300");

    for (std::size_t length : {15, 17}) {
        const Bytes challenge(length, 0);
        EXPECT_EQ(violation([&] { VNC::response(std::span(challenge), "x"); }),
                  "VNC challenge length");
    }
}

// Hands out fixed bytes in order, then 0x5A bytes, and records what was asked for.
struct ScriptedRandom {
    std::vector<Bytes> answers;
    std::vector<std::size_t> requests;
    ARD::RandomSource source() {
        return [this](std::size_t count) {
            requests.push_back(count);
            return requests.size() > answers.size() ? Bytes(count, 0x5A)
                                                    : answers[requests.size() - 1];
        };
    }
};

// Blocks of named hex fields, each starting with its generator; "-" is empty.
std::vector<std::map<std::string, Bytes>> readExchanges() {
    std::ifstream file(dataFile("ard_exchanges.txt"));
    EXPECT_TRUE(file) << dataFile("ard_exchanges.txt");
    std::vector<std::map<std::string, Bytes>> exchanges;
    for (std::string name, hex; file >> name >> hex;) {
        if (name[0] == '#') {
            std::getline(file, name);
            continue;
        }
        if (name == "generator") {
            exchanges.emplace_back();
        }
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
        const auto text = [&](const char* field) {
            return std::string(exchange.at(field).begin(), exchange.at(field).end());
        };
        const ARD::Response response = ARD::response(parameters(exchange), text("username"),
                                                     text("password"), random.source());
        EXPECT_EQ(random.requests, (std::vector<std::size_t>{prime.size(), 128}));
        EXPECT_EQ(response.publicKey, exchange.at("publicKey")) << prime.size() << "-byte key";
        EXPECT_EQ(response.credentials, exchange.at("credentials")) << prime.size() << "-byte key";
    }
}

TEST(ARDAuthentication, RejectsBadParametersBeforeDrawingRandomBytes) {
    const ARD::Parameters good = parameters(readExchanges().at(0));
    const auto withKey = [&](Bytes key) {
        ARD::Parameters p = good;
        p.serverKey = std::move(key);
        return p;
    };
    // Server keys that fix the shared secret whatever the private key: 0, 1, p - 1, and p,
    // which is 0 once reduced. The prime is odd, so p - 1 also serves as an even "prime".
    const auto small = [&](std::uint8_t value) {
        Bytes key(good.prime.size(), 0);
        key.back() = value;
        return key;
    };
    Bytes pMinusOne = good.prime;
    pMinusOne.back() ^= 1;
    const std::pair<ARD::Parameters, std::string> cases[] = {
        {{good.generator, Bytes(15, 1), Bytes(15, 0)}, "ARD key length 15"},
        {{good.generator, Bytes(513, 1), Bytes(513, 2)}, "ARD key length 513"},
        {withKey(Bytes(good.serverKey.begin(), good.serverKey.end() - 1)), "ARD key length 128"},
        {{good.generator, pMinusOne, good.serverKey}, "ARD prime"},
        {withKey(small(0)), "ARD server key"},
        {withKey(small(1)), "ARD server key"},
        {withKey(pMinusOne), "ARD server key"},
        {withKey(good.prime), "ARD server key"},
    };
    for (const auto& [p, expected] : cases) {
        ScriptedRandom random;
        EXPECT_EQ(violation([&] { ARD::response(p, "user", "pw", random.source()); }), expected);
        EXPECT_TRUE(random.requests.empty()) << expected;
    }
    // 2 is the smallest acceptable key.
    ScriptedRandom random;
    EXPECT_NO_THROW(ARD::response(withKey(small(2)), "user", "", random.source()));
}

TEST(ARDAuthentication, UsesFreshSystemRandomnessEachTime) {
    // A source that comes up short is a failure, not a shorter key.
    const ARD::RandomSource shortSource = [](std::size_t count) { return Bytes(count - 1); };
    const ARD::Parameters p = parameters(readExchanges().at(0));
    EXPECT_EQ(violation([&] { ARD::response(p, "u", "p", shortSource); }),
              "random number generation failed");
    const ARD::Response first = ARD::response(p, "user", "password");
    const ARD::Response second = ARD::response(p, "user", "password");
    EXPECT_EQ(first.publicKey.size(), p.prime.size());
    EXPECT_NE(first.publicKey, second.publicKey);
    EXPECT_NE(first.credentials, second.credentials);
}

}  // namespace
