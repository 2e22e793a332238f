#include <gtest/gtest.h>

#include "ByteSource.hpp"
#include "Framebuffer.hpp"

using namespace rfb;
using rfb::testing::violation;

TEST(FramebufferTest, SizesAreLimited) {
    EXPECT_EQ(violation([] { Framebuffer(16384, 1); }), "no error");
    EXPECT_EQ(violation([] { Framebuffer(0, 100); }), "framebuffer size 0\u00D7100");
    EXPECT_EQ(violation([] { Framebuffer(16385, 10); }), "framebuffer size 16385\u00D710");

    Framebuffer framebuffer(3, 2);
    framebuffer.fill(0, 0, 3, 2, 0xFF123456);
    EXPECT_EQ(violation([&] { framebuffer.resize(1, 16385); }), "framebuffer size 1\u00D716385");
    EXPECT_EQ(framebuffer.width(), 3);
    EXPECT_EQ(framebuffer(2, 1), 0xFF123456u);
    framebuffer.resize(4, 4);
    EXPECT_EQ(framebuffer.pixels(), std::vector<std::uint32_t>(16, 0xFF000000));
}

TEST(FramebufferTest, RectanglesMustLieInside) {
    Framebuffer framebuffer(100, 50);
    EXPECT_EQ(violation([&] { framebuffer.validate(90, 0, 10, 50); }), "no error");
    EXPECT_EQ(violation([&] { framebuffer.validate(100, 50, 0, 0); }), "no error");
    EXPECT_EQ(violation([&] { framebuffer.validate(90, 0, 11, 50); }),
              "rectangle 90,0 11\u00D750 outside 100\u00D750");
    EXPECT_EQ(violation([&] { framebuffer.validate(0, 1, 1, 50); }),
              "rectangle 0,1 1\u00D750 outside 100\u00D750");
    EXPECT_EQ(violation([&] { framebuffer.validate(2147483647, 0, 2, 1); }),
              "rectangle 2147483647,0 2\u00D71 outside 100\u00D750");
}

TEST(FramebufferTest, ImagesAreSnapshots) {
    Framebuffer framebuffer(2, 2);
    framebuffer.fill(1, 1, 1, 1, 0xFFFFFFFF);
    auto image = framebuffer.makeImage();
    ASSERT_TRUE(image);
    framebuffer.fill(0, 0, 2, 2, 0xFF00FF00);
    EXPECT_EQ(image->pixel(0, 0), 0xFF000000u);
    EXPECT_EQ(image->pixel(1, 1), 0xFFFFFFFFu);
    EXPECT_EQ(image->width(), 2);
}
