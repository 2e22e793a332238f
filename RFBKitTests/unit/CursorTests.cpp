#include <gtest/gtest.h>

#include "ByteSource.hpp"
#include "Cursor.hpp"
#include "Decoders.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

struct Read {
    std::optional<RFBCursor> cursor;
    std::size_t consumed;
};

Read read(const RectHeader& rect, const Bytes& payload,
          const PixelFormat& format = PixelFormat::rgb888) {
    ByteInput input(Bytes(payload).repeat(4, 0xEE), 5);
    auto cursor = readCursor(rect, *input, format);
    return {std::move(cursor), input.consumed()};
}

}  // namespace

TEST(CursorTest, SizesAndFormats) {
    Read sixteen = read({20, 3, 16, 16}, Bytes{}.repeat(16 * 16 * 4 + 2 * 16, 0));
    ASSERT_TRUE(sixteen.cursor);
    EXPECT_EQ(sixteen.consumed, 1056u);
    EXPECT_EQ(sixteen.cursor->image.pixel(15, 15), 0u);
    EXPECT_EQ(sixteen.cursor->hotSpot.x, 15.0);
    EXPECT_EQ(sixteen.cursor->hotSpot.y, 3.0);

    EXPECT_TRUE(read({0, 0, 256, 256}, Bytes{}.repeat(256 * 256 * 4 + 32 * 256, 0xFF)).cursor);
    for (RectHeader tooLarge : {RectHeader{0, 0, 257, 1}, RectHeader{0, 0, 1, 257}}) {
        EXPECT_EQ(violation([&] { read(tooLarge, Bytes{}); }), "cursor size");
    }
    for (RectHeader empty : {RectHeader{0, 0, 0, 0}, RectHeader{0, 0, 0, 4}}) {
        Read r = read(empty, Bytes{});
        EXPECT_FALSE(r.cursor);
        EXPECT_EQ(r.consumed, 0u);
    }

    Read small =
        read({0, 0, 2, 1}, Bytes{}.raw({0x00, 0xF8, 0x1F, 0x00, 0xC0}), PixelFormat::rgb565);
    ASSERT_TRUE(small.cursor);
    EXPECT_EQ(small.cursor->image.pixel(0, 0), 0xFFFF0000);
    EXPECT_EQ(small.cursor->image.pixel(1, 0), 0xFF0000FF);
}
