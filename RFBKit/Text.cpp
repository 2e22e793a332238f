#include "Text.hpp"

namespace rfb {

namespace {

constexpr char32_t invalid = 0xFFFFFFFF;

// Decodes one scalar at `i` and advances past it; a malformed sequence consumes its first byte
// only and yields `invalid`.
char32_t decodeOne(std::span<const std::uint8_t> s, std::size_t& i) {
    std::string_view rest(reinterpret_cast<const char*>(s.data()) + i, s.size() - i);
    std::optional<UTF8Scalar> scalar = leadingScalar(rest);
    i += scalar ? scalar->length : 1;
    return scalar ? scalar->value : invalid;
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
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        return UTF8Scalar{lead, 1};
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = value << 6 | (byte(i) & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return UTF8Scalar{value, length};
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
