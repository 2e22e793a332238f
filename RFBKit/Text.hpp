#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace rfb {

struct UTF8Scalar {
    char32_t value;
    std::size_t length;  // bytes
};
// The scalar a UTF-8 text starts with; none when it is empty or starts with an ill-formed
// sequence (overlong forms, surrogates, values above U+10FFFF, truncation).
std::optional<UTF8Scalar> leadingScalar(std::string_view text);

// Server texts arrive as raw bytes; the library hands out valid UTF-8 only.

// UTF-8 with each maximal ill-formed subsequence replaced by one U+FFFD, as the Unicode
// standard recommends.
std::string utf8WithReplacement(std::span<const std::uint8_t> bytes);
// ISO 8859-1 bytes (each byte is the scalar of the same value) as UTF-8.
std::string latin1ToUTF8(std::span<const std::uint8_t> bytes);
// One byte per scalar: scalars below 256 as themselves, others (and invalid UTF-8) as "?".
std::string utf8ToLatin1(std::string_view utf8);

}  // namespace rfb
