#include <gtest/gtest.h>

#include <vector>

#include "AutomaticQuality.hpp"

using namespace rfb;

namespace {

// An update of `kilobytes` that crossed a link of `megabits` per second.
struct Crossing {
    double kilobytes;
    double megabits;
};

int levelAfter(const std::vector<Crossing>& crossings, int from = AutomaticQuality::initialLevel) {
    AutomaticQuality quality;
    // Settles at a level's own link first, so that each case starts from `from`.
    const double settle = from == AutomaticQuality::lossless ? 1000 : from == 8 ? 30 : 10;
    for (int i = 0; i < 20 && quality.level() != from; ++i) {
        quality.measured(100'000, 100'000 * 8 / (settle * 1e6));
    }
    for (const Crossing& c : crossings) {
        quality.measured(std::uint64_t(c.kilobytes * 1000), c.kilobytes * 8 / (c.megabits * 1000));
    }
    return quality.level();
}

}  // namespace

TEST(AutomaticQuality, FollowsTheLinkWithoutFlickeringAtABoundary) {
    const std::vector<Crossing> lan(3, {200, 900}), tenMegabits(6, {40, 9}),
        twoMegabits(6, {30, 2}), modem(6, {20, 0.5});
    const struct {
        const char* name;
        std::vector<Crossing> crossings;
        int from;
        int expected;
    } cases[] = {
        {"a fast link is lossless", lan, AutomaticQuality::initialLevel,
         AutomaticQuality::lossless},
        {"10 Mbit/s", tenMegabits, AutomaticQuality::lossless, 5},
        {"2 Mbit/s", twoMegabits, AutomaticQuality::initialLevel, 3},
        {"0.5 Mbit/s", modem, AutomaticQuality::initialLevel, 1},
        {"a link that slows down is followed down", tenMegabits, 8, 5},
        {"small updates say nothing of the link", std::vector<Crossing>(9, {10, 0.1}),
         AutomaticQuality::initialLevel, AutomaticQuality::initialLevel},
        // Just above the 20 Mbit/s boundary is not enough to go up from below it, while just
        // below it is enough to go down: motion keeps its rate.
        {"near a boundary from below", std::vector<Crossing>(9, {50, 22}), 5, 5},
        {"just below a boundary", std::vector<Crossing>(9, {50, 19.5}), 8, 5},
        {"well above a boundary", std::vector<Crossing>(9, {50, 30}), 5, 8},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(levelAfter(c.crossings, c.from), c.expected) << c.name;
    }
}
