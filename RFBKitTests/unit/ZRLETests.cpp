#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ByteSource.hpp"
#include "Decoders.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

constexpr std::uint32_t black = 0xFF000000, red = 0xFFFF0000, green = 0xFF00FF00, blue = 0xFF0000FF;

// ZRLE updates whose zlib stream is made of stored blocks: the test decides byte for byte what
// inflates, and each update after the first continues the stream without a header, as a server's
// sync flush does.
struct ZRLEStream {
    Bytes update(int x, int y, int width, int height, const Bytes& tiles) {
        Bytes zlib = std::exchange(started, true) ? Bytes{} : Bytes{0x78, 0x01};
        for (std::size_t at = 0; at == 0 || at < tiles.size(); at += 65535) {
            const std::size_t n = std::min<std::size_t>(65535, tiles.size() - at);
            zlib.raw({0x00, unsigned(n), unsigned(n >> 8), unsigned(~n), unsigned(~n >> 8)});
            zlib.raw(std::span(tiles).subspan(at, n));
        }
        Bytes header = rfbtest::update(1).rect(x, y, width, height, RFBEncoding::zrle);
        return header.u32(std::uint32_t(zlib.size())) + zlib;
    }
    bool started = false;
};

// A subencoding byte followed by compact pixels: a palette, or a solid or run colour.
Bytes palette(unsigned subencoding, std::initializer_list<std::uint32_t> colours) {
    Bytes b = Bytes().u8(subencoding);
    std::ranges::for_each(colours, [&](std::uint32_t word) { b.pixel(word, 3); });
    return b;
}

Bytes solid(std::uint32_t word) {
    return palette(1, {word});
}

// Decodes one ZRLE rectangle of `tiles` at the origin of a width × height framebuffer.
Framebuffer decode(int width, int height, const Bytes& tiles,
                   const PixelFormat& format = PixelFormat::rgb888) {
    Bytes update = ZRLEStream().update(0, 0, width, height, tiles);
    Decoded decoded = decodeUpdate(update, width, height, format);
    EXPECT_EQ(decoded.consumed, update.size());
    return decoded.framebuffer;
}

const Bytes five = palette(5, {black, red, green, blue, 0xFFFFFFFF});

}  // namespace

TEST(ZRLETest, TilesRunInRowOrderWithEdgeTiles) {
    Bytes tiles = solid(red) + solid(green) + solid(blue) + solid(black);
    Framebuffer f = decode(100, 70, tiles.u8(0xEE));  // bytes after the last tile are ignored
    EXPECT_EQ(pixelsAt(f, {{63, 63}, {64, 0}, {99, 63}, {0, 64}, {63, 69}, {64, 64}}),
              (Pixels{red, green, green, blue, blue, black}));
}

TEST(ZRLETest, CompactPixelsFollowTheFormat) {
    EXPECT_EQ(decode(2, 1, Bytes{0, 1, 2, 3, 4, 5, 6}).pixels(), (Pixels{0xFF030201, 0xFF060504}));
    EXPECT_EQ(decode(1, 1, Bytes{1, 0x00, 0xF8}, PixelFormat::rgb565)(0, 0), red);
    EXPECT_EQ(decode(1, 1, Bytes{1, 0x38}, PixelFormat::bgr233)(0, 0), green);
    // A 32-bit format whose colours sit in the high bytes sends those three bytes.
    PixelFormat high{32, 24, false, true, 255, 255, 255, 24, 16, 8};
    EXPECT_EQ(decode(1, 1, Bytes{1, 0x33, 0x22, 0x11}, high)(0, 0), 0xFF112233);
}

TEST(ZRLETest, PackedPalettesStartEachRowOnAFreshByte) {
    Pixels expected{blue, red, blue, red, red, red, red, red, red, blue};
    expected.resize(20, blue);
    const Bytes tiles = palette(2, {red, blue}).raw({0b10100000, 0b01111111, 0xFF, 0xC0});
    EXPECT_EQ(decode(10, 2, tiles).pixels(), expected);
    // The padding nibble after the last pixel is never looked at.
    EXPECT_EQ(decode(3, 1, Bytes(five).raw({0x42, 0x1F})).pixels(),
              (Pixels{0xFFFFFFFF, green, red}));
}

// Rows of four-bit indices are looked up sixteen bytes at a time where the CPU allows, the rest
// byte by byte: every width from one step plus a remainder to a whole tile must agree with a
// plain reading.
TEST(ZRLETest, WidePackedRowsMatchAPlainReading) {
    Pixels colours;
    Bytes sixteen = Bytes{}.u8(16);
    for (std::uint32_t i = 0; i < 16; ++i) {
        colours.push_back(0xFF000000 | (i * 0x0F1B2D));
        sixteen.pixel(colours.back(), 3);
    }
    for (int width : {32, 47, 64}) {
        Bytes tile = sixteen;
        Pixels expected;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < (width + 1) / 2; ++c) {
                unsigned byte = (unsigned(r * 37 + c * 11) * 2654435761u >> 13) & 0xFF;
                tile.u8(byte);
                expected.push_back(colours[byte >> 4]);
                if (2 * c + 1 < width) {
                    expected.push_back(colours[byte & 15]);
                }
            }
        }
        EXPECT_EQ(decode(width, 3, tile).pixels(), expected) << "width " << width;
    }
}

TEST(ZRLETest, RunsWrapRowsAndReachTheTileEnd) {
    Bytes plain = palette(128, {red}).u8(3).pixel(blue, 3).u8(1);
    EXPECT_EQ(decode(3, 2, plain).pixels(), (Pixels{red, red, red, red, blue, blue}));
    // 4096 = 1 + 16 × 255 + 15.
    EXPECT_EQ(decode(64, 64, palette(128, {green}).repeat(16, 255).u8(15)).pixels(),
              std::vector(4096, green));
    Bytes six =
        palette(128 + 6, {0xFF000000, 0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004, 0xFF000005});
    EXPECT_EQ(decode(4, 1, six.raw({0x85, 0x02, 0x01})).pixels(),
              (Pixels{0xFF000005, 0xFF000005, 0xFF000005, 0xFF000001}));
}

// Each malformed tile fails with the error its bytes dictate, wherever the fault lies.
TEST(ZRLETest, MalformedTilesAreRejected) {
    const auto wideRow = [](std::size_t badByte) {  // within the first sixteen bytes, or after
        Bytes tile = Bytes(five).repeat(24, 0x34);
        tile[five.size() + badByte] = 0x15;
        return tile;
    };
    const Bytes six = palette(128 + 6, {1, 2, 3, 4, 5, 6});
    // Far more length bytes than a 64 × 64 tile can need, across several inflate steps.
    const Bytes runaway = palette(128, {red}).repeat(150000, 255);
    const struct {
        int width, height;
        Bytes tiles;
        std::string expected;
    } cases[] = {
        {4, 4, Bytes{}.u8(17), "ZRLE subencoding 17"},
        {4, 4, Bytes{}.u8(129), "ZRLE subencoding 129"},
        {3, 1, Bytes(five).raw({0x45, 0x10}), "ZRLE palette index"},
        {3, 1, Bytes(five).raw({0x42, 0x50}), "ZRLE palette index"},
        {4, 1, palette(3, {red, green, blue}).u8(0b00011011), "ZRLE palette index"},
        {48, 1, wideRow(5), "ZRLE palette index"},
        {48, 1, wideRow(20), "ZRLE palette index"},
        {4, 1, Bytes(six).raw({0x86, 0x00}), "ZRLE palette index"},
        {4, 1, Bytes(six).raw({0x81, 0x04}), "ZRLE run overflows tile"},
        {64, 64, palette(128, {green}).repeat(16, 255).u8(16), "ZRLE run overflows tile"},
        {256, 256, Bytes(runaway).u8(0), "ZRLE run overflows tile"},
        {256, 256, runaway, "ZRLE data truncated"},
        {4, 4, Bytes{}, "ZRLE data truncated"},
        {4, 4, Bytes{}.u8(1).u8(0), "ZRLE data truncated"},
        {4, 4, Bytes{}.u8(0).repeat(47, 0), "ZRLE data truncated"},
        {4, 4, palette(128, {red}).u8(255), "ZRLE data truncated"},
        {16, 1, Bytes{}.u8(3).repeat(9, 0).repeat(3, 0), "ZRLE data truncated"},
        // A 1 × 1 rgb888 rectangle may inflate to 1 × 1 × 4 + 513 + 1024 bytes.
        {1, 1, solid(red).repeat(1542 - 4, 0), "decompressed data too large"},
    };
    for (const auto& c : cases) {
        const Bytes message = ZRLEStream().update(0, 0, c.width, c.height, c.tiles);
        EXPECT_EQ(updateFailure(message, c.width, c.height), c.expected) << &c - cases;
    }
    EXPECT_EQ(decode(1, 1, solid(red).repeat(1541 - 4, 0))(0, 0), red);
}

TEST(ZRLETest, StreamPersistsAcrossRectanglesAndFormatChanges) {
    ZRLEStream stream;
    // Unread bytes after the tiles, more than one inflate step of them, must still be inflated
    // for the stream to stay in step.
    Bytes tiles;
    for (int i = 0; i < 16; ++i) {
        tiles.raw(solid(red));
    }
    Bytes first = stream.update(0, 0, 200, 200, tiles.repeat(150000, 0xEE));
    Bytes second = stream.update(4, 4, 4, 4, Bytes{1, 0x1F, 0x00});
    Framebuffer framebuffer(200, 200);
    RectangleDecoder decoder(PixelFormat::rgb888);
    ByteInput firstInput(first), secondInput(second);
    readFramebufferUpdate(*firstInput, decoder, framebuffer, {});
    decoder.setFormat(PixelFormat::rgb565);
    readFramebufferUpdate(*secondInput, decoder, framebuffer, {});
    EXPECT_EQ(framebuffer(3, 3), red);
    EXPECT_EQ(framebuffer(4, 4), blue);

    // The second block has no zlib header: only the continuing stream accepts it.
    RectangleDecoder fresh(PixelFormat::rgb565);
    ByteInput alone(second);
    EXPECT_EQ(violation([&] { readFramebufferUpdate(*alone, fresh, framebuffer, {}); }),
              "corrupt zlib data (-5)");
}
