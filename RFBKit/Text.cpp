#include "Text.hpp"

namespace rfb {

namespace {

constexpr char32_t invalid = 0xFFFFFFFF;

// The sequence a non-empty text starts with: a well-formed one as its scalar, an ill-formed one
// as the length of its maximal subpart (the longest start of some well-formed sequence, at least
// one byte), which is replaced as a unit. The bounds of the byte after the lead rule out
// overlong forms, surrogates and values above U+10FFFF before they are read.
struct Sequence {
    std::optional<char32_t> scalar;
    std::size_t length;
};

Sequence leadingSequence(std::string_view text) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return {std::nullopt, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i == text.size() || byte(i) < low || byte(i) > high) {
            return {std::nullopt, i};
        }
        value = value << 6 | (byte(i) & 0x3Fu);
        low = 0x80, high = 0xBF;
    }
    return {value, length};
}

// Decodes one sequence at `i` and advances past it; an ill-formed one yields `invalid`.
char32_t decodeOne(std::span<const std::uint8_t> s, std::size_t& i) {
    std::string_view rest(reinterpret_cast<const char*>(s.data()) + i, s.size() - i);
    Sequence sequence = leadingSequence(rest);
    i += sequence.length;
    return sequence.scalar.value_or(invalid);
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::optional<UTF8Scalar> leadingScalar(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    Sequence sequence = leadingSequence(text);
    if (!sequence.scalar) {
        return std::nullopt;
    }
    return UTF8Scalar{*sequence.scalar, sequence.length};
}

std::string utf8WithReplacement(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = decodeOne(bytes, i);
        appendUTF8(out, c == invalid ? U'\uFFFD' : c);
    }
    return out;
}

std::string latin1ToUTF8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (std::uint8_t b : bytes) {
        appendUTF8(out, b);
    }
    return out;
}

std::string utf8ToLatin1(std::string_view utf8) {
    auto bytes = asBytes(utf8);
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t c = decodeOne(bytes, i);
        out += c < 256 ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace rfb
