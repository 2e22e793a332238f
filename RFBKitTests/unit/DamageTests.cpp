#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "FakeServer.hpp"
#include "RFBClient.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

// What a viewer keeps: the pixels it was handed, refreshed only where the damage says. After a
// resize it starts from garbage, so whatever the damage misses shows up as a difference.
struct ViewerCopy {
    int width = 0;
    std::vector<std::uint32_t> pixels;

    void apply(const RFBFrame& frame, int take) {
        const RFBImage& image = frame.image;
        const int height = image.height();
        if (image.width() != width || pixels.size() != std::size_t(width) * height) {
            width = image.width();
            pixels.assign(std::size_t(width) * height, 0x12345678);
        }
        for (const RFBRect& r : frame.damage) {
            ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 &&
                        r.x + r.width <= width && r.y + r.height <= height)
                << r.x << "," << r.y << " " << r.width << "x" << r.height;
            for (int y = r.y; y < r.y + r.height; ++y) {
                std::size_t at = std::size_t(y) * width + r.x;
                std::copy_n(image.words() + at, r.width, pixels.begin() + long(at));
            }
        }
        ASSERT_TRUE(std::equal(pixels.begin(), pixels.end(), image.words())) << "take " << take;
    }
};

struct Scenario {
    unsigned seed;
    std::uint16_t width, height;
    int updates;
    int maxRectangles;  // per update; above maxRects the damage merges into a bounding area
    double takeChance;  // per update; the rest are skipped takes
};

class DamageTest : public ::testing::TestWithParam<Scenario> {};

// Refreshing only the damaged areas of each taken frame must always give the whole frame.
TEST_P(DamageTest, DamagedAreasRebuildEveryTakenFrame) {
    const Scenario& scenario = GetParam();
    std::mt19937 random(scenario.seed);
    std::vector<Bytes> messages{text("RFB 003.008\n").raw({1, 1, 0, 0, 0, 0}) +
                                serverInit(scenario.width, scenario.height, "damage")};
    // Raw rectangles, CopyRects (overlapping their source) and resizes.
    int width = scenario.width, height = scenario.height;
    auto below = [&](int n) { return int(random() % unsigned(n)); };
    for (int u = 0; u < scenario.updates; ++u) {
        int count = 1 + below(scenario.maxRectangles);
        Bytes& update = messages.emplace_back(Bytes{0, 0}.u16(unsigned(count)));
        for (int i = 0; i < count; ++i) {
            const int kind = below(20);
            if (kind == 0) {
                width = 8 + below(40), height = 8 + below(30);
                update.rect(0, 0, width, height, -223);
                continue;
            }
            int w = 1 + below(width), h = 1 + below(height);
            int x = below(width - w + 1), y = below(height - h + 1);
            update.rect(x, y, w, h, kind < 8 ? 1 : 0);
            if (kind < 8) {
                update.u16(unsigned(below(width - w + 1))).u16(unsigned(below(height - h + 1)));
            }
            for (int p = 0; kind >= 8 && p < w * h; ++p) {
                update.u32(std::uint32_t(random()));
            }
        }
    }

    RFBClient client(configurationFor(RFBEndpoint::host("damage.invalid", 5900)));
    ViewerCopy copy;
    int takes = 0;
    auto take = [&] {
        std::optional<RFBFrame> frame = client.takeFrameWithDamage();
        ASSERT_TRUE(frame);
        copy.apply(*frame, takes++);
    };
    std::size_t message = 0, offset = 0;
    RFBInput input([&](std::span<std::uint8_t> space) -> std::size_t {
        if (message == messages.size()) {
            throw RFBError::connectionClosed();
        }
        // Between updates the client has published the last one: the viewer's moment to take.
        if (offset == 0 && message > 1) {
            double roll = std::uniform_real_distribution<>(0, 1)(random);
            if (roll < scenario.takeChance) {
                take();
            } else if (roll < scenario.takeChance + 0.1) {
                client.takeFrame();  // another reader, which must not eat the damage
            }
        }
        std::size_t n = std::min(space.size(), messages[message].size() - offset);
        std::memcpy(space.data(), messages[message].data() + offset, n);
        offset += n;
        if (offset == messages[message].size()) {
            ++message;
            offset = 0;
        }
        return n;
    });
    RFBClientTesting::runOn(client, input);
    take();
    EXPECT_GT(takes, 1);
}

INSTANTIATE_TEST_SUITE_P(Runs, DamageTest,
                         ::testing::Values(Scenario{1, 32, 24, 300, 4, 0.5},
                                           Scenario{3, 16, 16, 200, 90, 0.3},
                                           Scenario{4, 48, 20, 300, 2, 0.9}));

}  // namespace
