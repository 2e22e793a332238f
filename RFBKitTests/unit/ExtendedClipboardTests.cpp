#include <gtest/gtest.h>

#include "ExtendedClipboard.hpp"
#include "FakeServer.hpp"

using namespace rfb;
using rfbtest::Bytes;
namespace F = ExtendedClipboardFlag;

namespace {

Bytes payload(std::uint32_t flags, const Bytes& rest = {}) {
    return Bytes().u32(flags) + rest;
}

// A zlib stream of one stored block, so that any bytes (and any size field) can be sent.
Bytes storedZlib(const Bytes& data) {
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : data) {
        a = (a + byte) % 65521, b = (b + a) % 65521;
    }
    const auto n = unsigned(data.size());
    return Bytes{0x78, 0x01, 1}.u8(n).u8(n >> 8).u8(~n).u8(~n >> 8) + data +
           Bytes().u32(b << 16 | a);
}

Bytes textProvide(std::uint32_t size, const std::string& text) {
    return payload(F::provide | F::text, storedZlib(Bytes().u32(size).text(text)));
}

// The payload of a message built by the client (after type, padding and length).
Bytes body(const std::vector<std::uint8_t>& message) {
    return Bytes(message.begin() + 8, message.end());
}

std::uint32_t flagsOf(const std::vector<std::uint8_t>& message) {
    return std::uint32_t{message[8]} << 24 | std::uint32_t{message[9]} << 16 |
           std::uint32_t{message[10]} << 8 | message[11];
}

Bytes serverCaps(std::uint32_t actions, std::uint32_t textLimit) {
    return payload(F::caps | actions | F::text, Bytes().u32(textLimit));
}

}  // namespace

TEST(ExtendedClipboard, UnicodeTextRoundTripsWithLineEndsAndNul) {
    ExtendedClipboard clipboard;
    const std::string text = "€ 日本語 🙂\nsecond\r\nthird";
    const auto provided = ExtendedClipboard::provide(text);
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
    EXPECT_EQ(clipboard.offer("€"), (std::vector<std::uint8_t>{6, 0, 0, 0, 0, 0, 0, 1, 0x3F}));

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
    const auto sent = direct.offer("🙂");
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
    const auto largest =
        ExtendedClipboard().receive(body(ExtendedClipboard::provide(std::string(limit, 'a'))));
    EXPECT_EQ(largest.text->size(), limit);
}
