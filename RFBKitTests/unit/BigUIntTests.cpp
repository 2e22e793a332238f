#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BigUInt.hpp"
#include "TestData.hpp"

namespace {

using rfb::BigUInt;
using Bytes = std::vector<std::uint8_t>;
using Words = BigUInt::Words;

using rfbtest::dataFile;

// The generator make_auth_vectors.py expands each case's seed with.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = state += 0x9E3779B97F4A7C15u;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    // Each value's bytes, least significant first.
    Bytes bytes(std::size_t count) {
        Bytes out(count);
        for (std::uint64_t i = 0, value = 0; i < count; ++i) {
            value = i % 8 == 0 ? next() : value >> 8;
            out[i] = static_cast<std::uint8_t>(value);
        }
        return out;
    }
};

std::uint64_t fnv1a64(const Bytes& data) {
    std::uint64_t hash = 0xCBF29CE484222325u;
    for (std::uint8_t byte : data) {
        hash = (hash ^ byte) * 0x100000001B3u;
    }
    return hash;
}

struct Operands {
    Bytes modulus, base, exponent;
};

// Step for step as power_operands() in make_auth_vectors.py.
Operands operands(std::uint64_t seed, std::size_t length, char shape) {
    SplitMix64 rng{seed};
    Operands o;
    o.modulus = rng.bytes(length);
    o.modulus.back() |= 1;
    if (shape == 's') {
        std::fill_n(o.modulus.begin(), rng.next() % length, std::uint8_t{0});
    } else if (shape == 'f') {
        o.modulus.assign(length, 0xFF);
    }
    o.base = rng.bytes(length);
    o.exponent = rng.bytes(1 + rng.next() % length);
    if (shape == 'z') {
        std::fill(o.exponent.begin(), o.exponent.end(), std::uint8_t{0});
    } else if (shape == 'm') {
        // modulus - 1: the modulus is odd, so only its last byte changes.
        o.base = o.modulus;
        o.base.back() &= 0xFE;
    }
    return o;
}

// Two-word moduli just below 2^64 with both operands near m: the running sum briefly carries
// into word n + 1, which random operands almost never do. Expected a * b * 2^-64 mod m from Python.
TEST(BigUInt, MontgomeryProductCarriesPastTheTopWord) {
    struct Case {
        std::uint64_t m, a, b, expected;
    };
    const auto words = [](std::uint64_t value) {
        return Words{static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
    };
    for (const Case& c :
         {Case{0xfffffffffffff9b1, 0xfffffffffffff9b0, 0xfffffffffffff9b0, 0xd76ba186940d4b60},
          Case{0xffffffffffffffc5, 0xffffffffffffffc3, 0xffffffffffffffc3, 0x2fba9386822b63c1},
          Case{0xfffffffffffffb93, 0xfffffffffffffb92, 0xfffffffffffffb91, 0x3f0a2aee266949b3}}) {
        const BigUInt modulus(words(c.m));
        EXPECT_EQ(modulus.montgomeryMultiply(words(c.a), words(c.b), modulus.montgomeryInverse()),
                  words(c.expected))
            << std::hex << c.m;
    }
}

// The modulus 1 sends everything to 0, even x^0; an even modulus has no Montgomery form.
TEST(BigUInt, DegenerateModuli) {
    EXPECT_EQ(BigUInt(Bytes{0, 0, 0, 0, 0, 1}).power(BigUInt(Bytes{5}), Bytes{0}).bytes(6),
              Bytes(6, 0));
    const BigUInt even(Bytes{0x01, 0x00});
    EXPECT_THROW(even.power(BigUInt(Bytes{3}), Bytes{1}), std::invalid_argument);
    EXPECT_THROW(even.montgomeryMultiply(Words{1}, Words{1}, 1), std::invalid_argument);
}

TEST(BigUInt, PowerMatchesPythonOnRandomModuliFrom16To512Bytes) {
    std::ifstream file(dataFile("biguint_power.txt"));
    ASSERT_TRUE(file) << dataFile("biguint_power.txt");
    int cases = 0;
    std::uint64_t seed = 0, hash = 0;
    std::size_t length = 0;
    char shape = 0;
    for (std::string line; std::getline(file, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        ASSERT_TRUE(std::istringstream(line) >> seed >> length >> shape >> std::hex >> hash)
            << line;
        const Operands o = operands(seed, length, shape);
        const BigUInt modulus(o.modulus);
        const BigUInt result = modulus.power(BigUInt(o.base, modulus.wordCount()), o.exponent);
        EXPECT_EQ(result.wordCount(), modulus.wordCount());
        EXPECT_EQ(fnv1a64(result.bytes(length)), hash)
            << "seed " << seed << ", " << length << " bytes, shape " << shape;
        ++cases;
    }
    EXPECT_GE(cases, 200);
}

}  // namespace
