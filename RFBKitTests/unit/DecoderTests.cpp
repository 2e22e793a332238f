#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "ByteSource.hpp"
#include "Cursor.hpp"
#include "Decoders.hpp"
#include "PixelFormat.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

constexpr std::uint32_t black = 0xFF000000, white = 0xFFFFFFFF, red = 0xFFFF0000,
                        green = 0xFF00FF00, blue = 0xFF0000FF;

// An RRE subrectangle's place, after its colour.
Bytes subrect(Bytes b, unsigned x, unsigned y, unsigned w, unsigned h) {
    return std::move(b.u16(x).u16(y).u16(w).u16(h));
}

}  // namespace

TEST(UpdateTest, EmptyUpdatesAndRectanglesAndLastRectReadNoFurther) {
    EXPECT_EQ(decodeUpdate(update(0).u8(0xAA), 4, 4).consumed, 3u);
    Bytes empty = update(2).rect(0, 0, 0, 5, RFBEncoding::raw).rect(3, 3, 5, 0, RFBEncoding::raw);
    EXPECT_EQ(decodeUpdate(empty.u8(0xAA), 8, 8).consumed, 3u + 24u);

    Bytes b = update(5).rect(0, 0, 1, 1, RFBEncoding::raw).pixel(white);
    std::size_t end = b.rect(0, 0, 0, 0, RFBEncoding::lastRect).size();
    b.rect(0, 0, 1, 1, 99).rect(0, 0, 1, 1, 99);
    Decoded d = decodeUpdate(b, 4, 4);
    EXPECT_EQ(d.consumed, end);
    EXPECT_EQ(d.framebuffer(0, 0), white);
}

TEST(UpdateTest, DesktopSizeResizesInTheMiddleOfAnUpdate) {
    Bytes b = update(3).rect(0, 0, 1, 1, RFBEncoding::raw).pixel(white);
    b.rect(7, 7, 40, 20, RFBEncoding::desktopSize).rect(39, 19, 1, 1, RFBEncoding::raw).pixel(red);
    Framebuffer framebuffer(32, 32);
    RectangleDecoder decoder(PixelFormat::rgb888);
    ByteInput input(b);
    int resized = 0;
    DecodeStatistics statistics;
    readFramebufferUpdate(*input, decoder, framebuffer, {nullptr, [&] { ++resized; }, &statistics});
    EXPECT_EQ(std::tuple(resized, framebuffer.width(), framebuffer.height()),
              std::tuple(1, 40, 20));
    EXPECT_EQ(pixelsAt(framebuffer, {{0, 0}, {39, 19}}), (Pixels{black, red}));
    const EncodingStatistics& raw = statistics[RFBEncoding::raw];
    EXPECT_EQ(std::pair(raw.rectangles, raw.pixels), std::pair(2ul, 2ul));
}

TEST(UpdateTest, CursorRectanglesGoToTheObserver) {
    Bytes b = update(2).rect(0, 0, 1, 1, RFBEncoding::cursor).pixel(red).u8(0x80);
    b.rect(0, 0, 0, 0, RFBEncoding::cursor);
    Framebuffer framebuffer(4, 4);
    RectangleDecoder decoder(PixelFormat::rgb888);
    ByteInput input(b);
    std::vector<std::optional<RFBCursor>> cursors;
    UpdateObserver observer;
    observer.cursor = [&](std::optional<RFBCursor> c) { cursors.push_back(std::move(c)); };
    readFramebufferUpdate(*input, decoder, framebuffer, observer);
    ASSERT_EQ(cursors.size(), 2u);
    ASSERT_TRUE(cursors[0]);
    EXPECT_EQ(cursors[0]->image.pixel(0, 0), red);
    EXPECT_FALSE(cursors[1]);
    EXPECT_EQ(input.consumed(), b.size());
}

TEST(CursorTest, SizesAndFormats) {
    const auto read = [](const RectHeader& rect, const Bytes& payload,
                         const PixelFormat& format = PixelFormat::rgb888) {
        ByteInput input(Bytes(payload).repeat(4, 0xEE), 5);
        auto cursor = readCursor(rect, *input, format);
        return std::pair(std::move(cursor), input.consumed());
    };
    auto [sixteen, consumed] = read({20, 3, 16, 16}, Bytes{}.repeat(16 * 16 * 4 + 2 * 16, 0));
    ASSERT_TRUE(sixteen);
    EXPECT_EQ(consumed, 1056u);
    EXPECT_EQ(sixteen->image.pixel(15, 15), 0u);
    EXPECT_EQ(std::pair(sixteen->hotSpot.x, sixteen->hotSpot.y), std::pair(15.0, 3.0));

    EXPECT_TRUE(read({0, 0, 256, 256}, Bytes{}.repeat(256 * 256 * 4 + 32 * 256, 0xFF)).first);
    for (RectHeader tooLarge : {RectHeader{0, 0, 257, 1}, RectHeader{0, 0, 1, 257}}) {
        EXPECT_EQ(violation([&] { read(tooLarge, Bytes{}); }), "cursor size");
    }
    for (RectHeader empty : {RectHeader{0, 0, 0, 0}, RectHeader{0, 0, 0, 4}}) {
        auto [none, nothing] = read(empty, Bytes{});
        EXPECT_FALSE(none);
        EXPECT_EQ(nothing, 0u);
    }
    auto [small, _] = read({0, 0, 2, 1}, Bytes{0x00, 0xF8, 0x1F, 0x00, 0xC0}, PixelFormat::rgb565);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->image.pixel(0, 0), red);
    EXPECT_EQ(small->image.pixel(1, 0), blue);
}

// The handshake test checks the encoded bytes; recordings are read back through fromBytes.
TEST(PixelFormatTest, WireFormRoundTrips) {
    PixelFormat bigEndian{32, 24, true, true, 1023, 511, 255, 20, 10, 1};
    for (const PixelFormat& f :
         {PixelFormat::rgb888, PixelFormat::rgb565, PixelFormat::bgr233, bigEndian}) {
        const auto bytes = f.encoded();
        EXPECT_EQ(PixelFormat::fromBytes(bytes), f);
        EXPECT_FALSE(PixelFormat::fromBytes(std::span(bytes).first(15)));
    }
}

TEST(PixelFormatTest, ValuesConvertToPixelWords) {
    const PixelFormat &f565 = PixelFormat::rgb565, &f233 = PixelFormat::bgr233;
    // clang-format off
    for (auto [format, value, word] : {
             std::tuple{&f565, 0xFFFFu, 0xFFFFFFFFu}, {&f565, 0xF800u, 0xFFFF0000u},
             {&f565, 0x07E0u, 0xFF00FF00u}, {&f565, 0x001Fu, 0xFF0000FFu},
             {&f565, 0x0841u, 0xFF080808u}, {&f565, 0x8410u, 0xFF838183u},
             {&f233, 0x07u, 0xFFFF0000u}, {&f233, 0x38u, 0xFF00FF00u}, {&f233, 0xC0u, 0xFF0000FFu},
             {&f233, 0x40u, 0xFF000055u}, {&f233, 0x49u, 0xFF242455u}}) {
        // clang-format on
        EXPECT_EQ(format->word(value), word)
            << int(format->bitsPerPixel) << std::hex << " " << value;
    }
    const std::uint8_t bytes[4] = {0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(PixelFormat::rgb888.word(PixelFormat::rgb888.readValue(bytes)), 0xFF332211u);
    PixelFormat big565 = f565;
    big565.bigEndian = true;
    EXPECT_EQ(big565.readValue(bytes), 0x1122u);
    EXPECT_EQ(f565.readValue(bytes), 0x2211u);
}

TEST(PixelFormatTest, LeastSignificantBytesAndQualities) {
    // Colours in the high bytes are the ZRLE compact-pixel test's.
    EXPECT_TRUE(PixelFormat::rgb888.fitsInLeastSignificantBytes());
    // Bits shifted past bit 31, and shifts of 32 or more, are lost.
    EXPECT_TRUE(
        (PixelFormat{32, 24, false, true, 255, 255, 255, 32, 40, 0}.fitsInLeastSignificantBytes()));
    EXPECT_EQ(qualityFromRawValue("thousands"), RFBQuality::thousands);
    EXPECT_FALSE(qualityFromRawValue("Full"));
    EXPECT_FALSE(qualityFromRawValue(""));
}

// One format per converter: channels scaled many pixels at a time (16- and 8-bit), a table with
// the byte order folded in, a table because a channel is wider than a byte (beside an empty
// one), and a colour map. Rows of 251 pixels take the fast paths, rows of 7 only the exact one.
TEST(RawTest, EveryValueOfNarrowFormatsConvertsExactly) {
    const PixelFormat formats[] = {
        PixelFormat::rgb565,
        PixelFormat::bgr233,
        {16, 16, true, true, 31, 63, 31, 11, 5, 0},
        {16, 16, false, true, 3, 1000, 0, 14, 4, 0},
        {8, 8, false, false, 7, 7, 3, 0, 3, 6},
    };
    // The client's own narrow formats must take the fast path, not only convert correctly.
    EXPECT_TRUE(PixelTable(PixelFormat::rgb565).channels);
    EXPECT_TRUE(PixelTable(PixelFormat::bgr233).channels);
    for (int width : {251, 7}) {
        for (const PixelFormat& format : formats) {
            const std::size_t values = std::size_t(1) << format.bitsPerPixel;
            const int height = int((values + width - 1) / width);
            Bytes b = update(1).rect(0, 0, width, height, RFBEncoding::raw);
            const std::size_t start = b.size();
            for (std::size_t i = 0; i < std::size_t(width) * height; ++i) {
                const auto value = unsigned(i % values);
                format.bitsPerPixel == 16 ? b.u8(value).u8(value >> 8) : b.u8(value);
            }
            Decoded d = decodeUpdate(b, width, height, format);
            for (std::size_t i = 0; i < std::size_t(width) * height; ++i) {
                const std::uint8_t* p = b.data() + start + i * format.bytesPerPixel();
                ASSERT_EQ(d.framebuffer(int(i % width), int(i / width)),
                          format.word(format.readValue(p)))
                    << "value " << format.readValue(p) << " of a " << int(format.bitsPerPixel)
                    << "-bit format, red max " << format.redMax << ", rows of " << width;
            }
        }
    }
}

TEST(CopyRectTest, OverlappingMovesInEveryDirectionDoNotSmear) {
    const int n = 12, sx = 3, sy = 3, w = 6, h = 6;
    Bytes pattern = update(2).rect(0, 0, n, n, RFBEncoding::raw);
    for (std::uint32_t i = 0; i < n * n; ++i) {
        pattern.pixel(0xFF000000 | i * 977);
    }
    for (auto [dx, dy] : {std::pair{0, 1}, {1, 0}, {0, -1}, {-1, 0}, {2, 3}, {-3, -2}}) {
        Bytes b = pattern;
        b.rect(sx + dx, sy + dy, w, h, RFBEncoding::copyRect).u16(unsigned(sx)).u16(unsigned(sy));
        Decoded d = decodeUpdate(b, n, n);
        for (int y = 0; y < n; ++y) {
            for (int x = 0; x < n; ++x) {
                bool inside = x >= sx + dx && x < sx + dx + w && y >= sy + dy && y < sy + dy + h;
                int fromX = inside ? x - dx : x, fromY = inside ? y - dy : y;
                ASSERT_EQ(d.framebuffer(x, y), 0xFF000000 | std::uint32_t(fromY * n + fromX) * 977)
                    << dx << "," << dy << " at " << x << "," << y;
            }
        }
    }
}

TEST(RRETest, FillsBackgroundThenSubrectanglesWithinBounds) {
    Bytes b = update(1).rect(1, 1, 10, 4, RFBEncoding::rre).u32(3).pixel(red);
    b = subrect(b.pixel(blue), 5, 0, 5, 1);   // touches the right edge
    b = subrect(b.pixel(green), 0, 3, 1, 1);  // touches the bottom edge
    b = subrect(b.pixel(white), 0, 0, 0, 4);  // empty
    Decoded d = decodeUpdate(b, 12, 6);
    EXPECT_EQ(d.consumed, b.size());
    EXPECT_EQ(pixelsAt(d.framebuffer, {{1, 1}, {6, 1}, {10, 1}, {11, 1}, {1, 4}, {10, 4}}),
              (Pixels{red, blue, blue, black, green, red}));

    // Empty, in the corner just outside the store, with an empty subrectangle.
    Bytes corner = subrect(
        update(1).rect(12, 6, 0, 0, RFBEncoding::rre).u32(1).pixel(red).pixel(blue), 0, 0, 0, 0);
    EXPECT_EQ(decodeUpdate(corner, 12, 6).consumed, corner.size());
}

TEST(HextileTest, ColoursCarryOverTilesButNotRawTilesOrColouredSubrects) {
    Bytes b = update(1).rect(0, 0, 80, 16, RFBEncoding::hextile);
    b.u8(0);  // default background
    b.u8(2 | 4 | 8).pixel(red).pixel(green).u8(1).u8(0x00).u8(0x00);
    b.u8(1 | 2).repeat(16 * 16 * 4, 0x40);             // raw; the background bit is ignored
    b.u8(8 | 16).u8(1).pixel(blue).u8(0x10).u8(0x00);  // own colour, foreground untouched
    b.u8(8).u8(1).u8(0xF0).u8(0x00);                   // carried colours; last column
    Decoded d = decodeUpdate(b, 80, 16);
    EXPECT_EQ(d.consumed, b.size());
    EXPECT_EQ(pixelsAt(d.framebuffer,
                       {{0, 0}, {16, 0}, {17, 0}, {32, 0}, {49, 0}, {48, 0}, {79, 0}, {78, 0}}),
              (Pixels{black, green, red, 0xFF404040, blue, red, green, red}));
}

TEST(HextileTest, SubrectanglesReachTheTileEdge) {
    Bytes b = update(1).rect(0, 0, 16, 16, RFBEncoding::hextile).raw({8, 1, 0xF0, 0});
    EXPECT_EQ(pixelsAt(decodeUpdate(b, 16, 16).framebuffer, {{15, 0}, {14, 0}}),
              (Pixels{white, black}));
}

// Only the bytes up to the fault are there: the fault must be found before more are waited for.
TEST(UpdateTest, MalformedRectanglesFailBeforeTheirDataIsAwaited) {
    const Bytes rre = update(1).rect(0, 0, 10, 4, RFBEncoding::rre).u32(1).pixel(red).pixel(blue);
    const auto zrle = [](std::uint32_t length) {
        return update(1).rect(0, 0, 1, 1, RFBEncoding::zrle).u32(length);
    };
    const std::pair<Bytes, std::string> cases[] = {
        {update(2).rect(0, 0, 40, 20, RFBEncoding::desktopSize).rect(0, 20, 1, 1, RFBEncoding::raw),
         "rectangle 0,20 1\u00D71 outside 40\u00D720"},
        {update(1).rect(0, 0, 0, 0, RFBEncoding::desktopSize), "framebuffer size 0\u00D70"},
        {update(1).rect(30, 0, 3, 1, RFBEncoding::raw),
         "rectangle 30,0 3\u00D71 outside 32\u00D732"},
        {update(1).rect(0, 0, 10, 10, RFBEncoding::copyRect).u16(30).u16(30),
         "rectangle 30,30 10\u00D710 outside 32\u00D732"},
        {subrect(rre, 5, 0, 6, 1), "RRE subrectangle out of bounds"},
        {subrect(rre, 0, 3, 1, 2), "RRE subrectangle out of bounds"},
        {update(1).rect(16, 0, 4, 4, RFBEncoding::hextile).raw({8, 1, 0xF0, 0}),
         "hextile subrectangle out of bounds"},
        {update(1).rect(0, 0, 4, 4, RFBEncoding::hextile).raw({8, 1, 0x03, 0x01}),
         "hextile subrectangle out of bounds"},
        {zrle(67108865), "ZRLE length 67108865"},
        {zrle(67108864), "other error: The remote computer closed the connection."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(updateFailure(c.first), c.second) << "row " << &c - cases;
    }
}

// An ExtendedDesktopSize rectangle of `screens` (each x, y, width, height; ids count from 1).
Bytes desktopLayout(unsigned status, unsigned width, unsigned height,
                    const std::vector<std::array<unsigned, 4>>& screens) {
    Bytes b = update(1).rect(1, status, width, height, RFBEncoding::extendedDesktopSize);
    b.u8(unsigned(screens.size())).u8(0).u16(0);
    for (std::uint32_t id = 1; const auto& [x, y, w, h] : screens) {
        b.u32(id++).u16(x).u16(y).u16(w).u16(h).u32(0x5);
    }
    return b;
}

TEST(UpdateTest, ExtendedDesktopSizeNamesScreensInsideTheDesktopOnly) {
    const std::vector<std::array<unsigned, 4>> many(255, {0, 0, 40, 20});
    const struct {
        const char* name;
        Bytes bytes;
        std::size_t screens;
        int width, height;  // the framebuffer's after it
    } cases[] = {
        {"one screen", desktopLayout(0, 40, 20, {{0, 0, 40, 20}}), 1, 40, 20},
        {"most screens", desktopLayout(0, 40, 20, many), 255, 40, 20},
        {"two side by side", desktopLayout(0, 40, 20, {{0, 0, 20, 20}, {20, 0, 20, 20}}), 2, 40,
         20},
        {"no screens", desktopLayout(0, 40, 20, {}), 0, 40, 20},
        {"screen outside", desktopLayout(0, 40, 20, {{30, 0, 20, 20}}), 0, 40, 20},
        {"empty screen", desktopLayout(0, 40, 20, {{0, 0, 0, 20}}), 0, 40, 20},
        {"refusal keeps the size", desktopLayout(1, 0, 0, {}), 0, 32, 32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Framebuffer framebuffer(32, 32);
        RectangleDecoder decoder(PixelFormat::rgb888);
        ByteInput input(c.bytes, 7);
        std::vector<event::DesktopLayout> layouts;
        UpdateObserver observer;
        observer.desktopLayout = [&](event::DesktopLayout layout) { layouts.push_back(layout); };
        readFramebufferUpdate(*input, decoder, framebuffer, observer);
        EXPECT_EQ(input.consumed(), c.bytes.size());
        ASSERT_EQ(layouts.size(), 1u);
        EXPECT_EQ(layouts[0].reason, event::DesktopLayout::Reason::thisClient);
        EXPECT_EQ(layouts[0].screens.size(), c.screens);
        EXPECT_EQ(std::pair(framebuffer.width(), framebuffer.height()),
                  std::pair(c.width, c.height));
    }
    for (auto [width, height] : {std::pair{0u, 20u}, {40u, 0u}, {65535u, 20u}, {40u, 65535u}}) {
        EXPECT_EQ(updateFailure(desktopLayout(0, width, height, {{0, 0, 1, 1}})),
                  "framebuffer size " + std::to_string(width) + "×" + std::to_string(height));
    }
}
