#include <gtest/gtest.h>

#include <vector>

#include "AutomaticQuality.hpp"

using namespace rfb;

// Updates of `kilobytes` crossing links of the given Mbit/s, after enough on a first link (none:
// nothing measured yet) to settle on its level.
TEST(AutomaticQuality, FollowsTheLinkWithoutFlickeringAtABoundary) {
    constexpr int lossless = AutomaticQuality::lossless, initial = AutomaticQuality::initialLevel;
    const struct {
        const char* name;
        double settledOn;
        std::vector<double> megabits;
        double kilobytes;
        int expected;
    } cases[] = {
        {"a fast link is lossless", 0, {900, 900}, 200, lossless},
        {"10 Mbit/s", 900, std::vector(6, 9.0), 40, 5},
        {"2 Mbit/s", 0, std::vector(6, 2.0), 30, 3},
        {"0.5 Mbit/s", 0, std::vector(6, 0.5), 20, 1},
        {"small updates say nothing of the link", 0, std::vector(9, 0.1), 10, initial},
        // Just above the 20 Mbit/s boundary is not enough to go up from below it, while just
        // below it is enough to go down: motion keeps its rate.
        {"near a boundary from below", 10, std::vector(9, 22.0), 50, 5},
        {"just below a boundary", 30, std::vector(9, 19.5), 50, 5},
        {"well above a boundary", 10, std::vector(9, 30.0), 50, 8},
    };
    for (const auto& c : cases) {
        AutomaticQuality quality;
        for (int i = 0; c.settledOn > 0 && i < 3; ++i) {
            quality.measured(100'000, 0.8 / c.settledOn);
        }
        for (double megabits : c.megabits) {
            quality.measured(std::uint64_t(c.kilobytes * 1000),
                             c.kilobytes * 8 / (megabits * 1000));
        }
        EXPECT_EQ(quality.level(), c.expected) << c.name;
    }
}
