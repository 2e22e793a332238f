#include <gtest/gtest.h>

#include "ExtendedClipboard.hpp"
#include "RFBError.hpp"

using namespace rfb;
namespace F = ExtendedClipboardFlag;
using Bytes = ExtendedClipboard::Bytes;

namespace {

void put32(Bytes& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(std::uint8_t(v >> shift));
    }
}

Bytes payload(std::uint32_t flags, const Bytes& rest = {}) {
    Bytes out(4 + rest.size());
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = std::uint8_t(flags >> (24 - 8 * i));
    }
    std::copy(rest.begin(), rest.end(), out.begin() + 4);
    return out;
}

// A zlib stream of stored blocks, so that any bytes (and any size field) can be sent.
Bytes storedZlib(const Bytes& data) {
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : data) {
        a = (a + byte) % 65521, b = (b + a) % 65521;
    }
    Bytes out{0x78, 0x01};
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
        out.push_back(at + n == data.size() ? 1 : 0);
        for (unsigned v : {unsigned(n), unsigned(~n & 0xFFFF)}) {
            out.push_back(std::uint8_t(v)), out.push_back(std::uint8_t(v >> 8));
        }
        out.insert(out.end(), data.begin() + long(at), data.begin() + long(at + n));
        at += n;
    } while (at < data.size());
    put32(out, b << 16 | a);
    return out;
}

Bytes textProvide(std::uint32_t size, const std::string& text) {
    Bytes plain;
    put32(plain, size);
    plain.insert(plain.end(), text.begin(), text.end());
    return payload(F::provide | F::text, storedZlib(plain));
}

// The payload of a message built by the client (after type, padding and length).
Bytes body(const Bytes& message) {
    EXPECT_GE(message.size(), 12u);
    return Bytes(message.begin() + 8, message.end());
}

std::uint32_t flagsOf(const Bytes& message) {
    return std::uint32_t{message[8]} << 24 | std::uint32_t{message[9]} << 16 |
           std::uint32_t{message[10]} << 8 | message[11];
}

Bytes serverCaps(std::uint32_t actions, std::uint32_t textLimit) {
    Bytes sizes;
    put32(sizes, textLimit);
    return payload(F::caps | actions | F::text, sizes);
}

}  // namespace

TEST(ExtendedClipboard, UnicodeTextRoundTripsWithLineEndsAndNul) {
    ExtendedClipboard clipboard;
    const std::string text = "€ 日本語 🙂\nsecond\r\nthird";
    const Bytes provided = ExtendedClipboard::provide(text);
    // Negative length: the extended form.
    EXPECT_EQ(provided[0], 6);
    EXPECT_EQ(provided[4] & 0x80, 0x80);
    EXPECT_EQ(flagsOf(provided), F::provide | F::text);
    EXPECT_EQ(clipboard.receive(body(provided)).text, "€ 日本語 🙂\nsecond\nthird");
    // The NUL ends the text; ill-formed UTF-8 is replaced.
    EXPECT_EQ(clipboard.receive(textProvide(6, std::string("a\r\n\xFF\0z", 6))).text, "a\n\uFFFD");
}

TEST(ExtendedClipboard, OffersFollowWhatTheServerAnnounced) {
    ExtendedClipboard clipboard;
    // Before any capabilities: Latin-1 cut text with a positive length.
    EXPECT_EQ(clipboard.offer("€"), (Bytes{6, 0, 0, 0, 0, 0, 0, 1, '?'}));

    // The capabilities are answered with the client's, then the text offered before is notified.
    const auto caps = clipboard.receive(serverCaps(F::request | F::notify | F::provide, 1000));
    ASSERT_EQ(caps.reply.size(), 16u + 12u);
    EXPECT_EQ(flagsOf(caps.reply),
              F::caps | F::request | F::peek | F::notify | F::provide | F::text);
    EXPECT_EQ(flagsOf(Bytes(caps.reply.begin() + 16, caps.reply.end())), F::notify | F::text);

    EXPECT_EQ(flagsOf(clipboard.offer("日本語")), F::notify | F::text);
    const auto asked = clipboard.receive(payload(F::request | F::text));
    EXPECT_EQ(ExtendedClipboard().receive(body(asked.reply)).text, "日本語");
    EXPECT_EQ(flagsOf(clipboard.receive(payload(F::peek)).reply), F::notify | F::text);
    EXPECT_EQ(flagsOf(clipboard.receive(payload(F::notify | F::text)).reply), F::request | F::text);

    // Asked for, a text goes whatever size the server announced; beyond the client's own limit
    // nothing does.
    clipboard.offer(std::string(1000, 'x'));
    EXPECT_EQ(flagsOf(clipboard.receive(payload(F::request | F::text)).reply),
              F::provide | F::text);
    clipboard.offer(std::string(ExtendedClipboard::textLimit + 1, 'x'));
    EXPECT_TRUE(clipboard.receive(payload(F::request | F::text)).reply.empty());

    // A server without notify gets the text at once, up to the size it announced.
    ExtendedClipboard direct;
    direct.receive(serverCaps(F::provide, 100));
    const Bytes sent = direct.offer("🙂");
    EXPECT_EQ(flagsOf(sent), F::provide | F::text);
    EXPECT_EQ(ExtendedClipboard().receive(body(sent)).text, "🙂");
    EXPECT_TRUE(direct.offer(std::string(100, 'x')).empty());
}

TEST(ExtendedClipboard, HostileMessagesFailClearlyOrAreIgnored) {
    const std::size_t limit = ExtendedClipboard::textLimit;
    const struct {
        const char* name;
        Bytes payload;
        std::string error;  // empty: ignored, with no reply and no text
    } cases[] = {
        {"shorter than its flags", {0, 0, 1}, "too short"},
        {"capabilities without sizes", payload(F::caps | F::text | 0x8), "truncated"},
        {"text size over the limit", textProvide(std::uint32_t(limit + 2), "abc"), "length"},
        {"text size at most", textProvide(0xFFFFFFFF, ""), "length"},
        {"text shorter than its size", textProvide(50, "abc"), "truncated"},
        {"size field cut short", payload(F::provide | F::text, storedZlib({0, 0})), "truncated"},
        {"not zlib", payload(F::provide | F::text, {1, 2, 3, 4, 5, 6}), "zlib"},
        {"unknown action", payload(1u << 30 | F::text), ""},
        {"notify before capabilities", payload(F::notify | F::text), ""},
        {"provide without text", payload(F::provide | 0x4, storedZlib({0, 0, 0, 1, 'x'})), ""},
        {"request with nothing held", payload(F::request), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExtendedClipboard clipboard;
        if (c.error.empty()) {
            const auto outcome = clipboard.receive(c.payload);
            EXPECT_TRUE(outcome.reply.empty());
            EXPECT_FALSE(outcome.text);
            continue;
        }
        try {
            clipboard.receive(c.payload);
            ADD_FAILURE() << "accepted";
        } catch (const RFBError& error) {
            EXPECT_NE(error.errorDescription().find(c.error), std::string::npos)
                << error.errorDescription();
        }
    }
    // The largest text taken: exactly the limit, with its NUL.
    const auto largest = ExtendedClipboard().receive(
        textProvide(std::uint32_t(limit + 1), std::string(limit, 'a') + '\0'));
    EXPECT_EQ(largest.text->size(), limit);
}
