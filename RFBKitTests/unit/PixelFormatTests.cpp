#include <gtest/gtest.h>

#include "PixelFormat.hpp"

using namespace rfb;

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
