#include "Framebuffer.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "RFBError.hpp"

namespace rfb {

namespace detail {

// Shared by a framebuffer, its stores and its images, any of which may outlive the others.
struct PaintGate {
    std::mutex lock;
    std::condition_variable paintEnded;
    // Paints under way by store (few stores, so a list), under the lock.
    std::vector<std::pair<const std::uint32_t*, int>> paints;
    std::atomic<int> stores{0};
    std::atomic<int> mostStores{0};

    int paintsOf(const std::uint32_t* store) const {
        auto found = std::find_if(paints.begin(), paints.end(),
                                  [store](const auto& entry) { return entry.first == store; });
        return found == paints.end() ? 0 : found->second;
    }
    void count(const std::uint32_t* store, int change) {
        auto found = std::find_if(paints.begin(), paints.end(),
                                  [store](const auto& entry) { return entry.first == store; });
        if (found == paints.end()) {
            found = paints.insert(paints.end(), {store, 0});
        }
        if ((found->second += change) == 0) {
            paints.erase(found);
        }
    }
};

}  // namespace detail

RFBImage::Paint::Paint(const RFBImage& image) {
    if (!image.gate_) {
        image_ = image;
        return;
    }
    std::lock_guard lock(image.gate_->lock);
    image_ = image;
    image.gate_->count(image.words(), 1);
}

RFBImage::Paint& RFBImage::Paint::operator=(Paint&& other) noexcept {
    if (this != &other) {
        end();
        image_ = std::exchange(other.image_, std::nullopt);
    }
    return *this;
}

void RFBImage::Paint::end() {
    if (!image_) {
        return;
    }
    const std::shared_ptr<detail::PaintGate> gate = image_->gate_;
    if (!gate) {
        image_.reset();
        return;
    }
    {
        std::lock_guard lock(gate->lock);
        gate->count(image_->words(), -1);
        // Under the lock, so that a writer never finds the paint over and its hold still there.
        image_.reset();
    }
    gate->paintEnded.notify_all();
}

std::optional<std::pair<int, int>> FramebufferTesting::stores(const RFBImage& image) {
    if (!image.gate_) {
        return std::nullopt;
    }
    return std::pair(image.gate_->stores.load(), image.gate_->mostStores.load());
}

namespace {
constexpr std::uint32_t opaqueBlack = 0xFF000000;

std::size_t wordsPerRow(int width) {
    return (std::size_t(width) + 63) / 64;
}

std::string size(long width, long height) {
    return std::to_string(width) + "\u00D7" + std::to_string(height);
}
}  // namespace

Framebuffer::Framebuffer(int width, int height, Publishing publishing)
    : publishing_(publishing), gate_(std::make_shared<detail::PaintGate>()) {
    resize(width, height);
}

void Framebuffer::checkSize(int width, int height) {
    if (width < 1 || width > maxDimension || height < 1 || height > maxDimension) {
        throw RFBError::protocolViolation("framebuffer size " + size(width, height));
    }
}

std::shared_ptr<std::uint32_t[]> Framebuffer::newStore(std::size_t words) const {
    std::unique_ptr<std::uint32_t[]> made(new std::uint32_t[words]);
    const int alive = ++gate_->stores;
    for (int most = gate_->mostStores.load();
         alive > most && !gate_->mostStores.compare_exchange_weak(most, alive);) {
    }
    return {made.release(), [gate = gate_](std::uint32_t* store) {
                --gate->stores;
                delete[] store;
            }};
}

void Framebuffer::resize(int width, int height) {
    checkSize(width, height);
    std::size_t words = std::size_t(width) * height;
    auto blackStore = [this, words] {
        std::shared_ptr<std::uint32_t[]> fresh = newStore(words);
        std::fill_n(fresh.get(), words, opaqueBlack);
        return fresh;
    };
    // The old stores go before the new ones come, so that a resize too keeps to two stores.
    // Without its spare the store stays whole and complete, should the allocation below fail.
    bringInMissing();
    spares_.clear();
    std::shared_ptr<std::uint32_t[]> fresh = blackStore();
    const bool oldShown = pixels_ && pixels_.use_count() > 1;
    pixels_ = std::move(fresh);
    // The first published image takes the store from the decoder at once. The spare is made
    // here, equal to the store and tracking writes from the start, so that no update pays the
    // page faults of a fresh store mid-session; but while the newest image is of the old size,
    // it comes only when needed, after that image has gone.
    if (publishing_ == Publishing::sharedStores && !oldShown) {
        spares_.push_back(Spare{blackStore(), {}});
    }
    width_ = width;
    height_ = height;
    painted_.assign(wordsPerRow(width) * std::size_t(height), 0);
    unpainted_ = count();
    written_.assign(1, Area{0, 0, width, height});
}

void Framebuffer::markPainted(const Area& written) {
    const std::size_t rowWords = wordsPerRow(width_);
    const std::size_t end = std::size_t(written.x) + std::size_t(written.width);
    for (int y = written.y; y < written.y + written.height; ++y) {
        std::uint64_t* row = painted_.data() + std::size_t(y) * rowWords;
        for (std::size_t x = std::size_t(written.x); x < end;) {
            const std::size_t bit = x % 64;
            const std::size_t bits = std::min(64 - bit, end - x);
            const std::uint64_t mask =
                (bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1) << bit;
            unpainted_ -= std::size_t(std::popcount(mask & ~row[x / 64]));
            row[x / 64] |= mask;
            x += bits;
        }
    }
    if (unpainted_ == 0) {
        painted_ = {};
    }
}

// Only a published image can share a store, and only this thread publishes, so a count of one
// cannot grow behind our back; the fence orders our writes after the last reader's release.
// A spare that only paints hold is as good when `waitForPaints`: each holds the store once, under
// the gate's lock, and none can start, for which an image of it would have to be held; so it is
// free once they end, which is soon. A spare held in any other way may be held for good.
std::vector<Framebuffer::Spare>::iterator Framebuffer::unusedSpare(bool waitForPaints) {
    std::unique_lock lock(gate_->lock);
    auto unused = std::find_if(spares_.begin(), spares_.end(),
                               [](const Spare& spare) { return spare.pixels.use_count() == 1; });
    if (unused == spares_.end() && waitForPaints) {
        unused = std::find_if(spares_.begin(), spares_.end(), [this](const Spare& spare) {
            return spare.pixels.use_count() == 1 + gate_->paintsOf(spare.pixels.get());
        });
        if (unused != spares_.end()) {
            gate_->paintEnded.wait(lock, [&] { return unused->pixels.use_count() == 1; });
        }
    }
    if (unused != spares_.end()) {
        std::atomic_thread_fence(std::memory_order_acquire);
    }
    return unused;
}

// Writing moves to a spare store that no image holds any more. It lacks only what was written
// since it was given up, and most of that is usually written again by the update at hand (a
// scrolling terminal, a playing video), so it is brought in area by area only where the update
// does not cover it.
void Framebuffer::makeWritable() {
    if (pixels_.use_count() == 1) {
        return;
    }
    auto unused = unusedSpare(true);
    Spare next;
    if (unused != spares_.end()) {
        next = std::move(*unused);
        spares_.erase(unused);
    } else {
        next.pixels = newStore(count());
        next.lacking.assign(1, Area{0, 0, width_, height_});
    }
    // The store given up is complete: making its image brought in all it lacked.
    spares_.insert(spares_.begin(), Spare{std::move(pixels_), {}});
    if (spares_.size() > maxSpares) {
        spares_.pop_back();  // still held by an image, which keeps it alive
    }
    pixels_ = std::move(next.pixels);
    missing_ = std::move(next.lacking);
}

// Every missing area that `touched` overlaps leaves the list, brought in first, except one lying
// wholly inside an area about to be overwritten: its pixels are never needed. A missing area that
// misses every write stays missing; since it missed every area written before too, bringing it in
// later cannot overwrite anything new. Before a read, everything it overlaps must be brought in, or
// a write that follows could cover (and so drop) a missing area the read still needs.
void Framebuffer::bringInMissing(const Area& touched, bool overwritten) {
    std::erase_if(missing_, [&](const Area& lacking) {
        bool overlaps =
            lacking.x < touched.x + touched.width && touched.x < lacking.x + lacking.width &&
            lacking.y < touched.y + touched.height && touched.y < lacking.y + lacking.height;
        bool inside = lacking.x >= touched.x && lacking.y >= touched.y &&
                      lacking.x + lacking.width <= touched.x + touched.width &&
                      lacking.y + lacking.height <= touched.y + touched.height;
        if (overlaps && !(overwritten && inside)) {
            copyArea(spares_.front().pixels.get(), pixels_.get(), lacking);
        }
        return overlaps;
    });
}

void Framebuffer::bringInMissing() const {
    for (const Area& lacking : missing_) {
        copyArea(spares_.front().pixels.get(), pixels_.get(), lacking);
    }
    missing_.clear();
}

void addRect(std::vector<RFBRect>& rects, const RFBRect& added) {
    if (rects.size() == maxRects) {
        RFBRect bounds = added;
        for (const RFBRect& rect : rects) {
            int right = std::max(bounds.x + bounds.width, rect.x + rect.width);
            int bottom = std::max(bounds.y + bounds.height, rect.y + rect.height);
            bounds.x = std::min(bounds.x, rect.x);
            bounds.y = std::min(bounds.y, rect.y);
            bounds.width = right - bounds.x;
            bounds.height = bottom - bounds.y;
        }
        rects.assign(1, bounds);
        return;
    }
    rects.push_back(added);
}

void Framebuffer::copyArea(const std::uint32_t* from, std::uint32_t* to, const Area& part) const {
    for (int r = 0; r < part.height; ++r) {
        std::size_t start = index(part.x, part.y + r);
        std::memcpy(to + start, from + start, std::size_t(part.width) * sizeof(std::uint32_t));
    }
}

std::uint32_t* Framebuffer::area(int x, int y, int width, int height) {
    if (width < 1 || height < 1) {
        return nullptr;
    }
    makeWritable();
    const Area written{x, y, width, height};
    bringInMissing(written, true);
    for (Spare& spare : spares_) {
        addRect(spare.lacking, written);
    }
    addRect(written_, written);
    if (unpainted_ != 0) {
        markPainted(written);
    }
    return pixels_.get() + index(x, y);
}

void Framebuffer::move(int fromX, int fromY, int x, int y, int width, int height) {
    if (width < 1 || height < 1) {
        return;
    }
    makeWritable();
    bringInMissing(Area{fromX, fromY, width, height}, false);
    std::uint32_t* target = area(x, y, width, height);
    const std::uint32_t* source = pixels_.get() + index(fromX, fromY);
    const std::size_t stride = std::size_t(width_);
    const std::size_t rowBytes = std::size_t(width) * sizeof(std::uint32_t);
    auto moveRow = [&](int r) {
        std::memmove(target + std::size_t(r) * stride, source + std::size_t(r) * stride, rowBytes);
    };
    // Rows are taken in the order that reads each source row before it is overwritten.
    if (y > fromY) {
        for (int r = height - 1; r >= 0; --r) {
            moveRow(r);
        }
    } else {
        for (int r = 0; r < height; ++r) {
            moveRow(r);
        }
    }
}

std::vector<std::uint32_t> Framebuffer::pixels() const {
    bringInMissing();
    return std::vector<std::uint32_t>(pixels_.get(), pixels_.get() + count());
}

void Framebuffer::validate(int x, int y, int width, int height) const {
    // Widened so that no sum of wire values can overflow.
    long right = long(x) + width;
    long bottom = long(y) + height;
    if (x < 0 || y < 0 || width < 0 || height < 0 || right > width_ || bottom > height_) {
        throw RFBError::protocolViolation("rectangle " + std::to_string(x) + "," +
                                          std::to_string(y) + " " + size(width, height) +
                                          " outside " + size(width_, height_));
    }
}

void Framebuffer::fill(int x, int y, int width, int height, std::uint32_t word) {
    std::uint32_t* origin = area(x, y, width, height);
    for (int r = 0; r < height; ++r) {
        std::fill_n(origin + std::size_t(r) * width_, width, word);
    }
}

std::optional<RFBImage> Framebuffer::makeImage() {
    bringInMissing();
    if (publishing_ == Publishing::copyEachImage) {
        std::shared_ptr<std::uint32_t[]> copy(new std::uint32_t[count()]);
        std::copy_n(pixels_.get(), count(), copy.get());
        return image(std::move(copy), width_, height_);
    }
    std::optional<RFBImage> made =
        image(std::shared_ptr<const std::uint32_t[]>(pixels_), width_, height_);
    made->gate_ = gate_;
    return made;
}

void Framebuffer::prepareNextStore() {
    // Unshared, the next write stays in this store; shared, it has been published since its
    // last write, so it lacks nothing itself.
    if (pixels_.use_count() == 1) {
        return;
    }
    auto next = unusedSpare(false);
    if (next == spares_.end()) {
        return;
    }
    for (const Area& lacking : next->lacking) {
        copyArea(pixels_.get(), next->pixels.get(), lacking);
    }
    next->lacking.clear();
}

std::vector<RFBRect> Framebuffer::takeWritten() {
    std::vector<RFBRect> taken;
    taken.swap(written_);
    return taken;
}

std::optional<RFBImage> Framebuffer::image(std::shared_ptr<const std::uint32_t[]> words, int width,
                                           int height) {
    if (!words || width < 1 || height < 1) {
        return std::nullopt;
    }
    return RFBImage(std::move(words), width, height);
}

}  // namespace rfb
