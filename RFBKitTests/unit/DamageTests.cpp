#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "FakeServer.hpp"
#include "RFBClient.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

using namespace rfb;
using namespace rfbtest;
using namespace std::chrono_literals;

namespace {

// A server's side of a session: the handshake, then updates of random raw rectangles, CopyRects
// (overlapping their source) and, with `resizes`, new sizes.
std::vector<Bytes> randomSession(std::mt19937& random, std::uint16_t width, std::uint16_t height,
                                 int updates, int maxRectangles, bool resizes) {
    std::vector<Bytes> messages{text("RFB 003.008\n").raw({1, 1, 0, 0, 0, 0}) +
                                serverInit(width, height, "damage")};
    int w0 = width, h0 = height;
    auto below = [&](int n) { return int(random() % unsigned(n)); };
    for (int u = 0; u < updates; ++u) {
        int count = 1 + below(maxRectangles);
        Bytes& update = messages.emplace_back(Bytes{0, 0}.u16(unsigned(count)));
        for (int i = 0; i < count; ++i) {
            const int kind = below(20);
            if (kind == 0 && resizes) {
                w0 = 8 + below(40), h0 = 8 + below(30);
                update.rect(0, 0, w0, h0, -223);
                continue;
            }
            int w = 1 + below(w0), h = 1 + below(h0);
            int x = below(w0 - w + 1), y = below(h0 - h + 1);
            update.rect(x, y, w, h, kind < 8 ? 1 : 0);
            if (kind < 8) {
                update.u16(unsigned(below(w0 - w + 1))).u16(unsigned(below(h0 - h + 1)));
            }
            for (int p = 0; kind >= 8 && p < w * h; ++p) {
                update.u32(std::uint32_t(random()));
            }
        }
    }
    return messages;
}

// Serves `messages` as the server's bytes; `between` runs before each update after the first.
RFBInput served(const std::vector<Bytes>& messages, std::function<void()> between = {}) {
    auto at = std::make_shared<std::pair<std::size_t, std::size_t>>(0, 0);
    return RFBInput([&messages, at, between](std::span<std::uint8_t> space) -> std::size_t {
        auto& [message, offset] = *at;
        if (message == messages.size()) {
            throw RFBError::connectionClosed();
        }
        if (offset == 0 && message > 1 && between) {
            between();
        }
        const Bytes& next = messages[message];
        std::size_t n = std::min(space.size(), next.size() - offset);
        std::memcpy(space.data(), next.data() + offset, n);
        if ((offset += n) == next.size()) {
            ++message, offset = 0;
        }
        return n;
    });
}

// What a viewer shows, refreshed only where the damage says: garbage after a resize, so that
// whatever the damage misses shows up as a difference.
struct Picture {
    std::vector<std::uint32_t> words;
    int width = 0;
    void refresh(const std::uint32_t* frame, int w, int h, const std::vector<RFBRect>& damage) {
        if (w != width || words.size() != std::size_t(w) * h) {
            width = w;
            words.assign(std::size_t(w) * h, 0x12345678);
        }
        for (const RFBRect& r : damage) {
            ASSERT_TRUE(r.x >= 0 && r.y >= 0 && r.width > 0 && r.height > 0 && r.x + r.width <= w &&
                        r.y + r.height <= h);
            for (int y = r.y; y < r.y + r.height; ++y) {
                std::size_t at = std::size_t(y) * w + r.x;
                std::copy_n(frame + at, r.width, words.begin() + long(at));
            }
        }
    }
    bool shows(const std::uint32_t* frame) const {
        return std::equal(words.begin(), words.end(), frame);
    }
};

}  // namespace

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
        const std::vector<Bytes> messages =
            randomSession(random, scenario.width, scenario.height, scenario.updates,
                          scenario.maxRectangles, true);
        RFBClient client(configurationFor(RFBEndpoint::host("damage.invalid", 5900)));
        Picture copy;
        int takes = 0;
        auto take = [&] {
            std::optional<RFBFrame> frame = client.takeFrameWithDamage();
            ASSERT_TRUE(frame);
            const RFBImage& image = frame->image;
            copy.refresh(image.words(), image.width(), image.height(), frame->damage);
            ASSERT_TRUE(copy.shows(image.words())) << "take " << takes;
            ++takes;
        };
        // Between updates the client has published the last one: the viewer's moment.
        RFBInput input = served(messages, [&] {
            const double roll = std::uniform_real_distribution<>(0, 1)(random);
            if (roll < scenario.takeChance) {
                take();
            } else if (roll < scenario.takeChance + 0.1) {
                client.takeFrame();  // another reader, which must not eat the damage
            }
        });
        RFBClientTesting::runOn(client, input);
        take();
        EXPECT_GT(takes, 1);
    }
}

// The session window's way: the damage taken at the display's pace, the newest frame painted
// over it, held only while painting (here slowly, beside a decoder that never waits for it,
// its updates arriving about every 50 µs, so that the viewer has a chance to paint). The
// decoder keeps to two stores, waiting for a paint to end rather than making a third; the viewer
// gets frames all along; and its picture, painted from frames newer than their damage, still
// ends up as the last frame.
TEST(DamageTest, PaintingViewerKeepsTheDecoderToTwoStores) {
    const struct {
        unsigned seed;
        int updates;
        std::chrono::microseconds paint;
    } cases[] = {{5, 3000, 0us}, {6, 3000, 1000us}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seed);
        std::mt19937 random(c.seed);
        const std::vector<Bytes> messages = randomSession(random, 40, 30, c.updates, 6, false);
        RFBClient client(configurationFor(RFBEndpoint::host("damage.invalid", 5900)));
        RFBInput input = served(messages, [] { std::this_thread::sleep_for(50us); });
        std::atomic<bool> ended = false;
        std::thread decoder([&] {
            RFBClientTesting::runOn(client, input);
            ended = true;
        });
        Picture picture;
        int changes = 0;
        auto paint = [&] {
            if (std::optional<RFBDamage> damage = client.takeDamage()) {
                std::optional<RFBImage::Paint> frame = client.paintFrame();
                picture.refresh(frame->words(), frame->width(), frame->height(), damage->areas);
                changes += damage->areas.empty() ? 0 : 1;
                std::this_thread::sleep_for(c.paint);
            }
        };
        while (!ended) {
            paint();
        }
        decoder.join();
        paint();
        const std::optional<RFBImage> last = client.takeFrame();
        ASSERT_TRUE(last);
        EXPECT_TRUE(picture.shows(last->words()));
        EXPECT_GT(changes, 2);
        const auto stores = FramebufferTesting::stores(*last);
        ASSERT_TRUE(stores);
        EXPECT_EQ(stores->second, 2) << "most stores alive at once";
    }
}
