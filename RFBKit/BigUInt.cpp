#include "BigUInt.hpp"

#include <algorithm>
#include <stdexcept>

namespace rfb {

namespace {

using Word = BigUInt::Word;
using Wide = std::uint64_t;

constexpr unsigned wordBits = 32;

Word low(Wide value) {
    return static_cast<Word>(value);
}
Word high(Wide value) {
    return static_cast<Word>(value >> wordBits);
}

// Shifts `r` left by one bit, bringing `bit` in at the bottom. The caller keeps r < 2^(32 size)
// afterwards, so the bit shifted out of the top is always zero.
void shiftLeftOne(std::span<Word> r, Word bit) {
    for (Word& word : r) {
        const Word out = word >> (wordBits - 1);
        word = (word << 1) | bit;
        bit = out;
    }
}

// One step of r <- 2r + bit (mod m) for r < m, with r one word wider than m so 2r + 1 fits.
void doubleModulo(std::span<Word> r, std::span<const Word> m, Word bit) {
    shiftLeftOne(r, bit);
    if (BigUInt::greaterOrEqual(r, m)) {
        BigUInt::subtract(r, m);
    }
}

// The Montgomery product of n-word a and b into n-word out, with t as n + 2 words of scratch.
// out may alias a or b: both are read in full before out is written.
//
// Word-by-word (CIOS) form: after each word of b the running sum stays below 2m, so t[n] holds
// at most one bit between steps and t[n + 1] only catches the transient carry of a * b_j.
void montgomery(const Word* a, const Word* b, const Word* m, std::size_t n, Word inverse, Word* t,
                Word* out) {
    std::fill(t, t + n + 2, Word{0});
    for (std::size_t j = 0; j < n; ++j) {
        const Wide bj = b[j];
        Wide carry = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Wide sum = a[i] * bj + t[i] + carry;
            t[i] = low(sum);
            carry = high(sum);
        }
        Wide sum = Wide{t[n]} + carry;
        t[n] = low(sum);
        t[n + 1] += high(sum);

        // u makes t + u * m divisible by 2^32; add it and drop the (now zero) low word.
        const Wide u = static_cast<Word>(t[0] * inverse);
        carry = high(u * m[0] + t[0]);
        for (std::size_t i = 1; i < n; ++i) {
            sum = u * m[i] + t[i] + carry;
            t[i - 1] = low(sum);
            carry = high(sum);
        }
        sum = Wide{t[n]} + carry;
        t[n - 1] = low(sum);
        t[n] = t[n + 1] + high(sum);
        t[n + 1] = 0;
    }
    const std::span<Word> result(t, n + 1);
    const std::span<const Word> modulus(m, n);
    if (BigUInt::greaterOrEqual(result, modulus)) {
        BigUInt::subtract(result, modulus);
    }
    std::copy(t, t + n, out);
}

void requireOdd(const BigUInt& modulus) {
    if (!modulus.isOdd()) {
        throw std::invalid_argument("BigUInt: the modulus must be odd");
    }
}

// A copy of `x` exactly n words wide; words beyond n must be zero.
BigUInt::Words widen(std::span<const Word> x, std::size_t n) {
    if (x.size() > n && std::any_of(x.begin() + static_cast<std::ptrdiff_t>(n), x.end(),
                                    [](Word word) { return word != 0; })) {
        throw std::invalid_argument("BigUInt: operand wider than the modulus");
    }
    BigUInt::Words result(n, 0);
    std::copy_n(x.begin(), std::min(n, x.size()), result.begin());
    return result;
}

}  // namespace

BigUInt::BigUInt(Words words) : words_(std::move(words)) {
    if (words_.empty()) {
        words_.push_back(0);
    }
}

BigUInt::BigUInt(std::span<const std::uint8_t> bytes, std::size_t width)
    : words_(std::max({(bytes.size() + 3) / 4, width, std::size_t{1}}), 0) {
    const std::size_t count = bytes.size();
    for (std::size_t i = 0; i < count; ++i) {
        words_[i / 4] |= Word{bytes[count - 1 - i]} << (8 * (i % 4));
    }
}

std::vector<std::uint8_t> BigUInt::bytes(std::size_t length) const {
    std::vector<std::uint8_t> result(length, 0);
    const std::size_t available = std::min(length, 4 * words_.size());
    for (std::size_t i = 0; i < available; ++i) {
        result[length - 1 - i] = static_cast<std::uint8_t>(words_[i / 4] >> (8 * (i % 4)));
    }
    return result;
}

bool BigUInt::greaterOrEqual(std::span<const Word> a, std::span<const Word> b) {
    for (std::size_t i = std::max(a.size(), b.size()); i-- > 0;) {
        const Word x = i < a.size() ? a[i] : 0;
        const Word y = i < b.size() ? b[i] : 0;
        if (x != y) {
            return x > y;
        }
    }
    return true;
}

void BigUInt::subtract(std::span<Word> a, std::span<const Word> b) {
    Word borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const Wide y = Wide{i < b.size() ? b[i] : 0} + borrow;
        const Wide x = a[i];
        a[i] = low(x - y);
        borrow = x < y ? 1 : 0;
    }
}

BigUInt::Word BigUInt::montgomeryInverse() const {
    requireOdd(*this);
    const Word m0 = words_[0];
    // For odd m0, m0 * m0 == 1 (mod 8): m0 is its own inverse to 3 bits. Each Newton step doubles
    // the correct bits: 3, 6, 12, 24, 48.
    Word x = m0;
    for (int step = 0; step < 4; ++step) {
        x *= 2 - m0 * x;
    }
    return static_cast<Word>(0 - x);
}

BigUInt BigUInt::reduce(std::span<const Word> x) const {
    const std::size_t n = words_.size();
    Words r(n + 1, 0);
    for (std::size_t i = x.size(); i-- > 0;) {
        for (unsigned bit = wordBits; bit-- > 0;) {
            doubleModulo(r, words_, (x[i] >> bit) & 1);
        }
    }
    r.resize(n);
    return BigUInt(std::move(r));
}

BigUInt::Words BigUInt::montgomeryMultiply(std::span<const Word> a, std::span<const Word> b,
                                           Word inverse) const {
    requireOdd(*this);
    const std::size_t n = words_.size();
    const Words x = widen(a, n);
    const Words y = widen(b, n);
    Words scratch(n + 2);
    Words result(n);
    montgomery(x.data(), y.data(), words_.data(), n, inverse, scratch.data(), result.data());
    return result;
}

BigUInt BigUInt::power(const BigUInt& base, std::span<const std::uint8_t> exponent) const {
    requireOdd(*this);
    const std::size_t n = words_.size();
    const Word* m = words_.data();
    const Word inverse = montgomeryInverse();

    // R = 2^(32n) mod m is Montgomery's 1; R^2 mod m carries a number into Montgomery form.
    // Both come from doubling, so no division is needed.
    Words r(n + 1, 0);
    r[0] = 1;
    if (greaterOrEqual(r, words_)) {
        subtract(r, words_);
    }
    for (std::size_t step = 0; step < wordBits * n; ++step) {
        doubleModulo(r, words_, 0);
    }
    Words accumulator(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
    for (std::size_t step = 0; step < wordBits * n; ++step) {
        doubleModulo(r, words_, 0);
    }

    Words scratch(n + 2);
    Words montgomeryBase = reduce(base.words_).words_;
    montgomery(montgomeryBase.data(), r.data(), m, n, inverse, scratch.data(),
               montgomeryBase.data());

    for (const std::uint8_t byte : exponent) {
        for (unsigned bit = 8; bit-- > 0;) {
            montgomery(accumulator.data(), accumulator.data(), m, n, inverse, scratch.data(),
                       accumulator.data());
            if (((byte >> bit) & 1) != 0) {
                montgomery(accumulator.data(), montgomeryBase.data(), m, n, inverse, scratch.data(),
                           accumulator.data());
            }
        }
    }

    Words one(n, 0);
    one[0] = 1;
    montgomery(accumulator.data(), one.data(), m, n, inverse, scratch.data(), accumulator.data());
    return BigUInt(std::move(accumulator));
}

}  // namespace rfb
