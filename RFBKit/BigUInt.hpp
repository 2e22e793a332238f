#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rfb {

// An unsigned integer held as 32-bit words, least significant first. Leading zero words are
// kept on purpose: the modular operations size all their work by the modulus's word count, so a
// prime read from a key-length byte string keeps that width (and every exponentiation with it
// costs the same whatever the prime's value).
//
// This is exactly the arithmetic Diffie-Hellman needs (modular exponentiation with an odd
// modulus, by Montgomery multiplication) and nothing more; it is not a general big-number type.
class BigUInt {
  public:
    using Word = std::uint32_t;
    using Words = std::vector<Word>;

    // Zero, one word wide.
    BigUInt() : words_(1, 0) {}
    // Takes the words as they are; an empty array becomes a single zero word.
    explicit BigUInt(Words words);
    // From a big-endian byte string, at least `width` words wide (and at least one word).
    explicit BigUInt(std::span<const std::uint8_t> bytes, std::size_t width = 0);

    const Words& words() const { return words_; }
    std::size_t wordCount() const { return words_.size(); }
    bool isOdd() const { return (words_[0] & 1) != 0; }

    // Big-endian, exactly `length` bytes: a longer number loses its high bytes, a shorter one is
    // left-padded with zeros.
    std::vector<std::uint8_t> bytes(std::size_t length) const;

    // The operations below treat *this as the modulus m, n = wordCount() words.

    // base ^ exponent mod m, the exponent big-endian. Every exponent bit, leading zeros included,
    // costs one squaring. Throws std::invalid_argument when m is even.
    BigUInt power(const BigUInt& base, std::span<const std::uint8_t> exponent) const;

    // x mod m, n words wide. x may have any number of words.
    BigUInt reduce(std::span<const Word> x) const;

    // a * b * 2^(-32n) mod m, n words. Requires a, b < m, each at most n words (shorter ones are
    // zero-extended), and `inverse` == montgomeryInverse(). Throws std::invalid_argument when m
    // is even or an operand is wider than m.
    Words montgomeryMultiply(std::span<const Word> a, std::span<const Word> b, Word inverse) const;

    // -(m_0)^(-1) mod 2^32 for the least significant word m_0 (m must be odd).
    Word montgomeryInverse() const;

    // a >= b, missing words on either side counting as zero.
    static bool greaterOrEqual(std::span<const Word> a, std::span<const Word> b);
    // a -= b over a's words with borrow; b's missing words count as zero. Requires a >= b.
    static void subtract(std::span<Word> a, std::span<const Word> b);

  private:
    Words words_;
};

}  // namespace rfb
