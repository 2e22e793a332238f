#include <gtest/gtest.h>

#include "ByteSource.hpp"
#include "ClientMessage.hpp"
#include "RFBInput.hpp"
#include "Text.hpp"

using namespace rfb;
using rfbtest::Bytes, rfbtest::ByteInput;

TEST(RFBInput, AssemblesValuesAcrossRefills) {
    const std::vector<Bytes> chunks{{0x80, 0x00}, {}, {0x00, 0x01, 0xFF}, {0xFE, 7, 8, 9}};
    std::size_t refills = 0;
    RFBInput input([&](std::span<std::uint8_t> space) -> std::size_t {
        if (refills == chunks.size()) {
            throw RFBError::connectionClosed();
        }
        const Bytes& chunk = chunks[refills++];
        std::copy(chunk.begin(), chunk.end(), space.begin());
        return chunk.size();
    });
    EXPECT_EQ(input.bytes(0), Bytes{});
    input.ensure(0);
    EXPECT_EQ(refills, 0u) << "zero-length reads never wait";
    EXPECT_EQ(input.u32(), 0x80000001u);
    EXPECT_EQ(input.u16(), 65534);
    EXPECT_EQ(input.bytes(3), (Bytes{7, 8, 9}));
    EXPECT_EQ(refills, 4u) << "the empty chunk asks again";
    EXPECT_THROW(input.u8(), RFBError);
}

// A filter that takes over the stream reads what the reader had read ahead before the
// connection's next bytes; the reader above it reads only the filter's.
TEST(RFBInput, DivertedReadAheadGoesToTheReaderBelow) {
    ByteInput connection(Bytes{1, 2, 3, 4, 5, 6}, 4);
    RFBInput& input = *connection;
    EXPECT_EQ(input.u16(), 0x0102);
    RFBInput below = input.divert([](std::span<std::uint8_t> space) {
        space[0] = 9;
        return std::size_t{1};
    });
    EXPECT_EQ(input.bytes(2), (Bytes{9, 9}));
    EXPECT_EQ(below.bytes(4), (Bytes{3, 4, 5, 6}));
}

TEST(RFBInput, LargeRequestsGrowTheBufferAndShrinkItAfterwards) {
    Bytes bytes;
    for (unsigned i = 0; i < 40; ++i) {
        bytes.repeat(RFBInput::chunkSize, i);
    }
    ByteInput source(bytes.u8(42), RFBInput::chunkSize);
    RFBInput& input = *source;
    std::size_t big = 40 * RFBInput::chunkSize;
    input.ensure(big);
    EXPECT_LE(input.capacity(), big + RFBInput::chunkSize);
    EXPECT_EQ(input.data()[big - 1], 39);
    input.advance(big);
    EXPECT_EQ(input.u8(), 42);
    EXPECT_LE(input.capacity(), 2 * RFBInput::chunkSize);
}

// The session's own messages are checked byte for byte by the handshake and message-loop tests;
// these are the clamps and replacements those do not reach.
TEST(ClientMessage, Encodings) {
    using ClientMessage::be16, ClientMessage::setEncodings, ClientMessage::framebufferUpdateRequest,
        ClientMessage::keyEvent, ClientMessage::pointerEvent, ClientMessage::clientCutText;
    EXPECT_EQ(be16(-5), (Bytes{0, 0}));
    EXPECT_EQ(setEncodings({}), (Bytes{2, 0, 0, 0}));
    EXPECT_EQ(framebufferUpdateRequest(true, 0, 0, 1920, 70000),
              (Bytes{3, 1, 0, 0, 0, 0, 7, 128, 0xFF, 0xFF}));
    EXPECT_EQ(keyEvent(0xFFE1, false), (Bytes{4, 0, 0, 0, 0, 0, 0xFF, 0xE1}));
    EXPECT_EQ(ClientMessage::qemuKeyEvent(0x7A, true, 0x9D),
              (Bytes{255, 0, 0, 1, 0, 0, 0, 0x7A, 0, 0, 0, 0x9D}));
    EXPECT_EQ(pointerEvent(0x18, 300, 2), (Bytes{5, 0x18, 1, 44, 0, 2}));
    EXPECT_EQ(ClientMessage::setDesktopSize(1920, 70000, {{0x01020304, 0, 8, 1920, 1072, 0x5}}),
              (Bytes{251, 0, 7, 128, 0xFF, 0xFF, 1, 0,  1, 2, 3, 4,
                     0,   0, 0, 8,   7,    128,  4, 48, 0, 0, 0, 5}));
    EXPECT_EQ(clientCutText("\xFF\xC3"), (Bytes{6, 0, 0, 0, 0, 0, 0, 2, '?', '?'}))
        << "invalid UTF-8 never passes through";
    for (RFBQuality quality : allQualities) {
        // Without the local cursor, the same list less the cursor pseudo-encoding.
        std::vector<std::int32_t> list = RFBClient::encodings(quality, true);
        std::erase(list, RFBEncoding::cursor);
        EXPECT_EQ(RFBClient::encodings(quality, false), list);
    }
}

TEST(Text, OneReplacementPerMaximalSubpart) {
    const struct {
        Bytes bytes;
        std::string expected;
    } cases[] = {
        {{0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80}, "\u20AC\U0001F600"},
        {{0xE2, 0x82, 'z'}, "\uFFFDz"},              // truncated three-byte sequence
        {{0xF0, 0x9F, 0x98}, "\uFFFD"},              // truncated four-byte sequence
        {{0xC0, 0xAF}, "\uFFFD\uFFFD"},              // overlong: no sequence starts with C0
        {{0xE0, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD"},  // overlong three-byte form
        {{0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},  // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {{0xE2, 0x28, 0xA1}, "\uFFFD(\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8WithReplacement(c.bytes), c.expected) << ::testing::PrintToString(c.bytes);
    }
}

// The texts people read when a session ends, where they are composed from the error's details.
TEST(RFBError, Descriptions) {
    using E = RFBError;
    const std::string unsupported =
        "None of the authentication methods offered by the remote computer are supported ";
    const std::pair<RFBError, std::string> cases[] = {
        {E::noSupportedSecurityType({16, 18}), unsupported + "(16, 18)."},
        {E::noSupportedSecurityType({}), unsupported + "()."},
        {E::authenticationFailed(""),
         "Access was denied because of an invalid username or password."},
        {E::authenticationFailed("Nope"), "Nope"},
        {E::serverRefused(""), "The remote computer refused the connection."},
        {E::connectionFailed(""), "The connection failed: "},
        {E::invalidAddress("h:1"), "\u201Ch:1\u201D isn\u2019t a valid computer address."},
        {E::unsupportedVersion("RFB 004.000"),
         "The remote computer uses an unsupported protocol version (RFB 004.000)."},
        {E::protocolViolation("encoding 7"),
         "The remote computer sent unexpected data (encoding 7)."},
        {E::secureConnectionFailed("the TLS handshake failed (x)"),
         "The secure connection failed: the TLS handshake failed (x)"},
    };
    for (const auto& [error, description] : cases) {
        EXPECT_EQ(error.errorDescription(), description);
    }
    EXPECT_NE(E::serverRefused("x"), E::authenticationFailed("x"));
    EXPECT_NE(E::credentialsRequired(RFBCredentialKind::password),
              E::credentialsRequired(RFBCredentialKind::usernameAndPassword));
    EXPECT_NE(E::identityNotTrusted({RFBIdentity::Kind::rsaKey, {1}}),
              E::identityNotTrusted({RFBIdentity::Kind::rsaKey, {2}}));
}

// The short forms users compare with what the server side shows.
TEST(RFBIdentity, FingerprintsAndTheirMatching) {
    const RFBIdentity certificate{RFBIdentity::Kind::certificate, {'a', 'b', 'c'}};
    const RFBIdentity key{RFBIdentity::Kind::rsaKey, {'a', 'b', 'c'}};
    EXPECT_EQ(certificate.fingerprint(),
              "BA:78:16:BF:8F:01:CF:EA:41:41:40:DE:5D:AE:22:23:B0:03:61:A3:96:17:7A:9C:B4:10:FF:"
              "61:F2:00:15:AD");
    EXPECT_EQ(key.fingerprint(), "a9-99-3e-36-47-06-81-6a");
    for (const auto& [text, matches] :
         std::vector<std::pair<std::string, bool>>{{"a9-99-3e-36-47-06-81-6a", true},
                                                   {"A9993E364706816A", true},
                                                   {"a9:99:3e:36:47:06:81:6a", true},
                                                   {"a9-99-3e-36-47-06-81", false},
                                                   {"a9-99-3e-36-47-06-81-6a-00", false},
                                                   {"", false},
                                                   {"g9-99-3e-36-47-06-81-6a", false}}) {
        EXPECT_EQ(key.hasFingerprint(text), matches) << text;
    }
}
