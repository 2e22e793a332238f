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

// A viewer that refreshes only the damaged areas of each frame it takes must always end up with
// the whole frame, over random raw rectangles, CopyRects (overlapping their source) and resizes.
TEST(DamageTest, DamagedAreasRebuildEveryTakenFrame) {
    // Above maxRects rectangles per update the damage merges into a bounding area.
    const struct {
        unsigned seed;
        std::uint16_t width, height;
        int updates, maxRectangles;
        double takeChance;  // per update; the rest are skipped takes
    } scenarios[] = {{1, 32, 24, 300, 4, 0.5}, {3, 16, 16, 200, 90, 0.3}, {4, 48, 20, 300, 2, 0.9}};
    for (const auto& scenario : scenarios) {
        SCOPED_TRACE(scenario.seed);
        std::mt19937 random(scenario.seed);
        std::vector<Bytes> messages{text("RFB 003.008\n").raw({1, 1, 0, 0, 0, 0}) +
                                    serverInit(scenario.width, scenario.height, "damage")};
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
        // The viewer's copy starts from garbage after a resize, so whatever the damage misses
        // shows up as a difference.
        std::vector<std::uint32_t> copy;
        int copyWidth = 0, takes = 0;
        auto take = [&] {
            std::optional<RFBFrame> frame = client.takeFrameWithDamage();
            ASSERT_TRUE(frame);
            const RFBImage& image = frame->image;
            const int w = image.width(), h = image.height();
            if (w != copyWidth || copy.size() != std::size_t(w) * h) {
                copyWidth = w;
                copy.assign(std::size_t(w) * h, 0x12345678);
            }
            for (const RFBRect& r : frame->damage) {
                ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 &&
                            r.x + r.width <= w && r.y + r.height <= h);
                for (int y = r.y; y < r.y + r.height; ++y) {
                    std::size_t at = std::size_t(y) * w + r.x;
                    std::copy_n(image.words() + at, r.width, copy.begin() + long(at));
                }
            }
            ASSERT_TRUE(std::equal(copy.begin(), copy.end(), image.words())) << "take " << takes;
            ++takes;
        };
        std::size_t message = 0, offset = 0;
        RFBInput input([&](std::span<std::uint8_t> space) -> std::size_t {
            if (message == messages.size()) {
                throw RFBError::connectionClosed();
            }
            // Between updates the client has published the last one: the viewer's moment.
            if (offset == 0 && message > 1) {
                const double roll = std::uniform_real_distribution<>(0, 1)(random);
                if (roll < scenario.takeChance) {
                    take();
                } else if (roll < scenario.takeChance + 0.1) {
                    client.takeFrame();  // another reader, which must not eat the damage
                }
            }
            const Bytes& next = messages[message];
            std::size_t n = std::min(space.size(), next.size() - offset);
            std::memcpy(space.data(), next.data() + offset, n);
            if ((offset += n) == next.size()) {
                ++message, offset = 0;
            }
            return n;
        });
        RFBClientTesting::runOn(client, input);
        take();
        EXPECT_GT(takes, 1);
    }
}
