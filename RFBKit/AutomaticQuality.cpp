#include "AutomaticQuality.hpp"

#include <algorithm>
#include <array>

namespace rfb {

namespace {

struct Band {
    double kilobitsPerSecond;  // at least
    int level;
};

// Lossless Tight of a moving 1280×800 screen takes tens of megabits; JPEG at level 5 a few.
constexpr std::array bands = {
    Band{50'000, AutomaticQuality::lossless},
    Band{20'000, 8},
    Band{5'000, 5},
    Band{1'500, 3},
    Band{0, 1},
};

constexpr double decay = 0.7;
// A better level needs this much more than its band's least, so that a link near a boundary
// does not make the picture flicker between two levels.
constexpr double upwardMargin = 1.3;

}  // namespace

int AutomaticQuality::levelFor(double kilobitsPerSecond) {
    for (const Band& band : bands) {
        if (kilobitsPerSecond >= band.kilobitsPerSecond) {
            return band.level;
        }
    }
    return bands.back().level;
}

double AutomaticQuality::kilobitsPerSecond() const {
    return seconds_ > 0 ? bytes_ * 8 / 1000 / seconds_ : 0;
}

bool AutomaticQuality::measured(std::uint64_t bytes, double seconds) {
    if (bytes < smallestMeasured) {
        return false;
    }
    // A clock step cannot make an update instantaneous: a microsecond is faster than any link.
    bytes_ = bytes_ * decay + double(bytes);
    seconds_ = seconds_ * decay + std::max(seconds, 1e-6);
    const double rate = kilobitsPerSecond();
    const int up = levelFor(rate / upwardMargin);
    const int down = levelFor(rate);
    const int before = level_;
    if (up > level_) {
        level_ = up;
    } else if (down < level_) {
        level_ = down;
    }
    return level_ != before;
}

}  // namespace rfb
