#pragma once

#include <cstdint>

namespace rfb {

// The "Automatic" preset's choice of Tight's JPEG quality, from the throughput that updates show:
// the slower the link, the lower the quality, so that motion keeps its rate; lossless where the
// link carries that easily.
//
// An update is timed from its first byte to its last. Time spent waiting before an update began
// is idleness, not the link, and is left out; an update that was already buffered is timed by
// how fast it was processed, which only understates a link that outran the client. Updates
// smaller than a few packets say nothing about the link and are ignored.
class AutomaticQuality {
  public:
    // JPEG quality levels 0 to 9; this one means lossless (no JPEG quality asked for).
    static constexpr int lossless = 10;
    // Until something is measured: the first full update may cross a slow link, and on a fast
    // one the next measurement moves to lossless before the user notices.
    static constexpr int initialLevel = 6;
    static constexpr std::uint64_t smallestMeasured = 16 * 1024;

    // Returns true when the level changed.
    bool measured(std::uint64_t bytes, double seconds);

    int level() const { return level_; }
    // The current estimate; 0 before the first measurement.
    double kilobitsPerSecond() const;

    // The level a link of this many kilobits per second gets.
    static int levelFor(double kilobitsPerSecond);

  private:
    int level_ = initialLevel;
    // Both decay with each measurement, so the estimate follows a link that changes within a
    // second or two of motion while one odd update moves it little.
    double bytes_ = 0;
    double seconds_ = 0;
};

}  // namespace rfb
