#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "ByteSource.hpp"
#include "Framebuffer.hpp"

using namespace rfb;
using rfbtest::violation;

TEST(FramebufferTest, SizesAndRectanglesAreLimited) {
    EXPECT_EQ(violation([] { Framebuffer(16384, 1); }), "no error");
    EXPECT_EQ(violation([] { Framebuffer(16385, 10); }), "framebuffer size 16385\u00D710");

    Framebuffer framebuffer(3, 2);
    framebuffer.fill(0, 0, 3, 2, 0xFF123456);
    EXPECT_EQ(violation([&] { framebuffer.resize(1, 16385); }), "framebuffer size 1\u00D716385");
    EXPECT_EQ(framebuffer.width(), 3);
    EXPECT_EQ(framebuffer(2, 1), 0xFF123456u);
    framebuffer.resize(4, 4);
    EXPECT_EQ(framebuffer.pixels(), std::vector<std::uint32_t>(16, 0xFF000000));
    // The decoders' bounds checks use the same test; only a sum past INT_MAX cannot come from them.
    EXPECT_EQ(violation([&] { framebuffer.validate(2147483647, 0, 2, 1); }),
              "rectangle 2147483647,0 2\u00D71 outside 4\u00D74");
}

// Writes land in a store that no image holds, brought up to date from the one given up only
// where it lacks pixels that a write does not cover again (or ahead of time, when asked to
// prepare); moves read the store being written.
// Any mistake there shows as a frame or an image that differs from the plain reference (every
// image a copy) or from a model of the same steps that no framebuffer code touches. A viewer on
// another thread paints the newest image meanwhile, which must not change under it while the
// writer goes on (waiting for the paint to end where it needs that store).
TEST(FramebufferTest, SharedStoresMatchThePlainReference) {
    std::mt19937 random(7);
    auto below = [&](int n) { return int(random() % unsigned(n)); };
    int width = 37, height = 23;
    Framebuffer framebuffer(width, height);
    Framebuffer reference(width, height, Framebuffer::Publishing::copyEachImage);
    std::vector<std::uint32_t> model(width * height, 0xFF000000);
    std::vector<std::pair<RFBImage, std::vector<std::uint32_t>>> held;
    std::mutex lock;
    std::optional<std::pair<RFBImage, std::vector<std::uint32_t>>> newest;
    std::atomic<int> paints = 0, changedWhilePainted = 0;
    std::jthread viewer([&](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
            std::optional<RFBImage::Paint> paint;
            std::vector<std::uint32_t> expected;
            {
                std::lock_guard guard(lock);
                if (newest) {
                    paint.emplace(newest->first);
                    expected = newest->second;
                }
            }
            std::this_thread::yield();
            if (paint && !std::equal(expected.begin(), expected.end(), paint->words())) {
                ++changedWhilePainted;
            }
            ++paints;
        }
    });
    for (int step = 0; step < 3000; ++step) {
        if (below(200) == 0) {
            width = 1 + below(48), height = 1 + below(32);
            framebuffer.resize(width, height);
            reference.resize(width, height);
            model.assign(width * height, 0xFF000000);
        }
        // Up to 100 areas between images, beyond the number of areas tracked one by one.
        for (int i = below(4) == 0 ? below(100) : below(3); i >= 0; --i) {
            // Now and then the whole frame, as a full update writes it.
            bool whole = below(8) == 0;
            int x = whole ? 0 : below(width), y = whole ? 0 : below(height);
            int w = whole ? width : 1 + below(width - x),
                h = whole ? height : 1 + below(height - y);
            if (below(3) == 0) {
                int fromX = below(width - w + 1), fromY = below(height - h + 1);
                framebuffer.move(fromX, fromY, x, y, w, h);
                reference.move(fromX, fromY, x, y, w, h);
                std::vector<std::uint32_t> before = model;
                for (int r = 0; r < h; ++r) {
                    std::copy_n(before.begin() + (fromY + r) * width + fromX, w,
                                model.begin() + (y + r) * width + x);
                }
                continue;
            }
            std::uint32_t word = 0xFF000000 | std::uint32_t(random());
            framebuffer.fill(x, y, w, h, word);
            reference.fill(x, y, w, h, word);
            for (int r = y; r < y + h; ++r) {
                std::fill_n(model.begin() + r * width + x, w, word);
            }
        }
        // Reading brings in what the store lacks, as making an image does; either may come first.
        if (below(2) == 0) {
            ASSERT_EQ(framebuffer.pixels(), model) << "step " << step;
        }
        held.emplace_back(*framebuffer.makeImage(), model);
        {
            std::lock_guard guard(lock);
            newest = held.back();
        }
        if (below(3) == 0) {
            framebuffer.prepareNextStore();
        }
        auto plain = reference.makeImage();
        ASSERT_TRUE(std::equal(model.begin(), model.end(), plain->words())) << "step " << step;
        // The viewer sometimes keeps images for a while, sometimes drops them at once.
        while (held.size() > std::size_t(below(4))) {
            held.erase(held.begin() + below(int(held.size())));
        }
        for (const auto& [image, expected] : held) {
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), image.words()))
                << "step " << step;
        }
    }
    viewer.request_stop();
    viewer.join();
    EXPECT_EQ(changedWhilePainted, 0) << "of " << paints << " paints";
}
