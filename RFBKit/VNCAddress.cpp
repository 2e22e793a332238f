#include "VNCAddress.hpp"

#include <uriparser/Uri.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#include "RFBError.hpp"
#include "Text.hpp"

namespace rfb {

namespace {

// Unicode's White_Space property, which includes the line and paragraph separators; pasted
// addresses often end in a non-breaking space or a line break.
bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Applies `visit` to every scalar; false as soon as the text turns out not to be UTF-8.
template <typename Visit>
bool forEachScalar(std::string_view text, Visit visit) {
    std::size_t offset = 0;
    while (offset < text.size()) {
        const std::optional<UTF8Scalar> scalar = leadingScalar(text.substr(offset));
        if (!scalar) {
            return false;
        }
        visit(*scalar, offset);
        offset += scalar->length;
    }
    return true;
}

std::optional<std::string_view> trimmed(std::string_view text) {
    std::size_t first = std::string_view::npos;
    std::size_t end = 0;
    const bool wellFormed = forEachScalar(text, [&](const UTF8Scalar& scalar, std::size_t offset) {
        if (!isWhiteSpace(scalar.value)) {
            if (first == std::string_view::npos) {
                first = offset;
            }
            end = offset + scalar.length;
        }
    });
    if (!wellFormed) {
        return std::nullopt;
    }
    if (first == std::string_view::npos) {
        return std::string_view{};
    }
    return text.substr(first, end - first);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// None when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            result += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        result += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return result;
}

// A NUL or other control character would be cut off or misread by the C interfaces the host and
// the credentials travel through (name resolution, the keychain), so such a value is refused.
bool isCleanText(std::string_view text) {
    bool clean = true;
    const bool wellFormed = forEachScalar(text, [&](const UTF8Scalar& scalar, std::size_t) {
        clean = clean && !isControl(scalar.value);
    });
    return wellFormed && clean;
}

bool isValidHost(std::string_view host) {
    if (host.empty() || host.find('/') != std::string_view::npos || !isCleanText(host)) {
        return false;
    }
    bool spaced = false;
    forEachScalar(host, [&](const UTF8Scalar& scalar, std::size_t) {
        spaced = spaced || isWhiteSpace(scalar.value);
    });
    return !spaced;
}

std::optional<std::string> credential(std::string_view encoded) {
    std::optional<std::string> decoded = percentDecoded(encoded);
    if (!decoded || decoded->empty() || !isCleanText(*decoded)) {
        return std::nullopt;
    }
    return decoded;
}

std::string_view text(const UriTextRangeA& range) {
    if (range.first == nullptr || range.afterLast == nullptr) {
        return {};
    }
    return {range.first, static_cast<std::size_t>(range.afterLast - range.first)};
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return true;
}

// Display numbers below 100 become ports 5900 and up. The digits come from the URI parser, but
// there may be any number of them.
std::optional<int> portFromDigits(std::string_view digits) {
    if (digits.empty()) {
        return VNCAddress::defaultPort;
    }
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
        if (value > 65535) {
            return std::nullopt;
        }
    }
    if (value < 100) {
        value += VNCAddress::defaultPort;
    }
    return static_cast<int>(value);
}

class ParsedURI {
  public:
    explicit ParsedURI(std::string_view source)
        : valid_(uriParseSingleUriExA(&uri_, source.data(), source.data() + source.size(),
                                      nullptr) == URI_SUCCESS) {}
    ~ParsedURI() {
        if (valid_) {
            uriFreeUriMembersA(&uri_);
        }
    }
    ParsedURI(const ParsedURI&) = delete;
    ParsedURI& operator=(const ParsedURI&) = delete;

    bool valid() const { return valid_; }
    const UriUriA& uri() const { return uri_; }

  private:
    UriUriA uri_{};
    bool valid_;
};

bool isUnreservedOrSubDelimiter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Encodes everything a user-information or registered-name component cannot hold literally.
std::string percentEncoded(std::string_view value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string result;
    for (char c : value) {
        if (isUnreservedOrSubDelimiter(c)) {
            result += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            result += '%';
            result += digits[byte >> 4];
            result += digits[byte & 0x0F];
        }
    }
    return result;
}

bool looksLikeIPv6(std::string_view host) {
    if (host.find(':') == std::string_view::npos) {
        return false;
    }
    for (char c : host) {
        if (hexValue(c) < 0 && c != ':' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

VNCAddress VNCAddress::parse(std::string_view input) {
    const auto invalid = [&] { return RFBError::invalidAddress(std::string(input)); };

    const std::optional<std::string_view> core = trimmed(input);
    if (!core || core->empty()) {
        throw invalid();
    }
    std::string source(*core);
    if (source.find("://") == std::string::npos) {
        source.insert(0, "vnc://");
    }

    const ParsedURI parsed(source);
    if (!parsed.valid()) {
        throw invalid();
    }
    const UriUriA& uri = parsed.uri();

    const std::string_view scheme = text(uri.scheme);
    if (!equalsIgnoringASCIICase(scheme, "vnc") &&
        !equalsIgnoringASCIICase(scheme, "screensharing")) {
        throw invalid();
    }

    // The parser already leaves out the brackets of an IP literal; a host that only decodes to a
    // bracketed form loses them here.
    std::optional<std::string> host = percentDecoded(text(uri.hostText));
    if (!host) {
        throw invalid();
    }
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    if (!isValidHost(*host)) {
        throw invalid();
    }

    const std::optional<int> port = portFromDigits(text(uri.portText));
    if (!port) {
        throw invalid();
    }

    VNCAddress address{std::move(*host), *port, std::nullopt, std::nullopt};
    if (uri.userInfo.first != nullptr) {
        const std::string_view userInfo = text(uri.userInfo);
        const std::size_t colon = userInfo.find(':');
        address.username = credential(userInfo.substr(0, colon));
        if (colon != std::string_view::npos) {
            address.password = credential(userInfo.substr(colon + 1));
        }
    }
    return address;
}

std::string VNCAddress::displayString() const {
    std::string result = host.find(':') == std::string::npos ? host : "[" + host + "]";
    if (port != defaultPort) {
        result += ':';
        result += std::to_string(port);
    }
    return result;
}

std::optional<std::string> VNCAddress::url() const {
    if (host.empty() || port < 1 || port > 65535) {
        return std::nullopt;
    }
    std::string result = "vnc://";
    if (username && !username->empty()) {
        result += percentEncoded(*username);
        result += '@';
    }
    result += looksLikeIPv6(host) ? "[" + host + "]" : percentEncoded(host);
    if (port != defaultPort) {
        result += ':';
        result += std::to_string(port);
    }
    if (!ParsedURI(result).valid()) {
        return std::nullopt;
    }
    return result;
}

}  // namespace rfb
