// Tight beyond its plain reference (which TightFuzzer runs over generated updates): what a
// server's broken data is refused with, and JPEG against PIL's decode of the same data.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ByteSource.hpp"
#include "TestData.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

Bytes tight(unsigned x, unsigned w, unsigned h, unsigned control) {
    return update(1).rect(x, 0, w, h, RFBEncoding::tight).u8(control);
}

// A compact length and a zlib stream that starts with a stored block of `n` bytes.
Bytes stored(unsigned n) {
    return Bytes().raw({n + 7, 0x78, 0x01, 0x00, n, 0, ~n & 0xFF, 0xFF}).repeat(n, 1);
}

}  // namespace

TEST(TightTest, RefusesMalformedRectangles) {
    const std::pair<Bytes, std::string> cases[] = {
        {tight(0, 2049, 1, 0x80).raw({1, 2, 3}), "Tight rectangle 2049 wide"},
        {tight(0, 1, 1, 0xA0), "Tight compression control 160"},
        {tight(0, 1, 1, 0x40).u8(3), "Tight filter 3"},
        {tight(0, 1, 1, 0x40).raw({1, 0, 1, 2, 3}), "Tight palette of one colour"},
        {tight(0, 4, 1, 0x40).raw({1, 2}).repeat(9, 0).raw({0, 1, 2, 3}), "Tight palette index 3"},
        {tight(0, 2, 2, 0x10) + stored(13), "decompressed data too large"},
        {tight(0, 2, 2, 0x20) + stored(11), "Tight data truncated"},
        {tight(0, 2, 1, 0x90).u8(4).raw({1, 2, 3, 4}),
         "JPEG: Not a JPEG file: starts with 0x01 0x02"},
    };
    for (const auto& [message, expected] : cases) {
        EXPECT_EQ(updateFailure(message, 2100, 4), expected);
    }
}

// Inside a larger framebuffer, in each chroma subsampling and in greyscale.
TEST(TightTest, JPEGEqualsAnIndependentDecode) {
    for (const char* arguments :
         {"64 48 2 80 RGB", "33 17 0 95 RGB", "50 31 1 40 RGB", "21 9 2 75 L"}) {
        const auto [jpeg, rgb] = photoJPEG(arguments);
        const unsigned w = unsigned(std::atoi(arguments)), h = unsigned(rgb.size() / 3 / w);
        Pixels expected(80 * 60, 0xFF000000);
        for (std::size_t i = 0; i < rgb.size() / 3; ++i) {
            expected[(3 + i / w) * 80 + 5 + i % w] =
                0xFF000000 | std::uint32_t(rgb[3 * i] << 16 | rgb[3 * i + 1] << 8 | rgb[3 * i + 2]);
        }
        const Bytes length = Bytes().u8(0x80 | (jpeg.size() & 0x7F)).u8(unsigned(jpeg.size() >> 7));
        Bytes message = update(1).rect(5, 3, w, h, RFBEncoding::tight).u8(0x90) + length;
        message.raw(jpeg);
        EXPECT_EQ(decodeUpdate(message, 80, 60).framebuffer.pixels(), expected) << arguments;
        EXPECT_EQ(updateFailure((tight(0, w - 1, h, 0x90) + length).raw(jpeg), 80, 60),
                  "JPEG image " + std::to_string(w) + "×" + std::to_string(h) + " in a " +
                      std::to_string(w - 1) + "×" + std::to_string(h) + " rectangle");
    }
}
