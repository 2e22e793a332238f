#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace rfb {

namespace detail {
struct PaintGate;
}

// An area of the framebuffer, in pixels.
struct RFBRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const RFBRect&) const = default;
};

// At most this many areas are kept in a list of changed areas; one more merges the list into its
// bounding area, which stays correct, only coarser. Real servers' updates rarely reach it.
constexpr std::size_t maxRects = 64;
void addRect(std::vector<RFBRect>& rects, const RFBRect& added);

// An immutable, shared snapshot of pixel words (0xFFRRGGBB for frames, premultiplied ARGB for
// cursors), row by row from the top. Copies share the pixels.
class RFBImage {
  public:
    RFBImage(std::shared_ptr<const std::uint32_t[]> words, int width, int height)
        : words_(std::move(words)), width_(width), height_(height) {}

    class Paint;

    int width() const { return width_; }
    int height() const { return height_; }
    const std::uint32_t* words() const { return words_.get(); }
    std::uint32_t pixel(int x, int y) const { return words_[std::size_t(y) * width_ + x]; }
    // Keeps the pixels alive for as long as the returned handle lives (for zero-copy wrapping).
    std::shared_ptr<const std::uint32_t[]> storage() const { return words_; }

  private:
    friend class Framebuffer;
    friend struct FramebufferTesting;
    std::shared_ptr<const std::uint32_t[]> words_;
    int width_;
    int height_;
    // Where paints of a framebuffer's store are counted; none for other images.
    std::shared_ptr<detail::PaintGate> gate_;
};

// An image's pixels held for the length of one paint, which must end soon and wait on nothing.
// A framebuffer that needs the store being painted to write on waits for the paint to end,
// rather than making a store of its own as it must for an image held in any other way: so a
// viewer that holds its frame only while painting it costs a session two stores, not three.
class RFBImage::Paint {
  public:
    explicit Paint(const RFBImage& image);
    Paint(Paint&& other) noexcept : image_(std::exchange(other.image_, std::nullopt)) {}
    Paint& operator=(Paint&& other) noexcept;
    Paint(const Paint&) = delete;
    Paint& operator=(const Paint&) = delete;
    ~Paint() { end(); }

    int width() const { return image_->width(); }
    int height() const { return image_->height(); }
    const std::uint32_t* words() const { return image_->words(); }

  private:
    void end();
    // Never handed out: a copy of it would outlive the paint, and a writer waiting for the
    // paint to end would wait for that copy instead.
    std::optional<RFBImage> image_;
};

class Framebuffer {
  public:
    static constexpr int maxDimension = 16384;

    // How images are made. `sharedStores` hands out the store itself and writes on into one no
    // image holds; `copyEachImage` copies the whole frame into every image. The second is the
    // plain reference that the first must always equal.
    enum class Publishing { sharedStores, copyEachImage };

    // Throws protocolViolation("framebuffer size W×H") outside 1...16384.
    Framebuffer(int width, int height, Publishing publishing = Publishing::sharedStores);

    // Replaces the store with opaque black; a size out of range leaves everything unchanged.
    void resize(int width, int height);
    // Throws protocolViolation("rectangle X,Y W×H outside FW×FH").
    void validate(int x, int y, int width, int height) const;

    int width() const { return width_; }
    int height() const { return height_; }
    std::uint32_t operator()(int x, int y) const {
        bringInMissing();
        return pixels_[index(x, y)];
    }
    const std::uint32_t* row(int y) const {
        bringInMissing();
        return pixels_.get() + std::size_t(y) * width_;
    }
    // Writable pixels of a validated area: its top-left pixel, rows width() words apart. Null for
    // an empty area. The caller must write every pixel of it: what it held before may never have
    // been brought into this store. Images made before stay unchanged (see makeWritable).
    std::uint32_t* area(int x, int y, int width, int height);
    // A copy of all pixel words, row by row.
    std::vector<std::uint32_t> pixels() const;

    void fill(int x, int y, int width, int height, std::uint32_t word);
    // Copies the validated area at (fromX, fromY) to (x, y) as it was before the copy, whatever
    // the two areas share.
    void move(int fromX, int fromY, int x, int y, int width, int height);

    // True once every pixel has been written since the store was made or last resized: until
    // then parts of it are only the initial black, not anything the server sent.
    bool complete() const { return unpainted_ == 0; }

    std::optional<RFBImage> makeImage();
    // Brings the store that the next write will move to up to date with the frame now, so that
    // the next update does not wait for that copy. Worth it only when that store lacks a great
    // deal that the next update will not write again, such as after a full update.
    void prepareNextStore();
    // The areas written (or made anew by a resize) since the last call, bounded by maxRects.
    std::vector<RFBRect> takeWritten();
    static std::optional<RFBImage> image(std::shared_ptr<const std::uint32_t[]> words, int width,
                                         int height);

  private:
    using Area = RFBRect;
    // A store not being written, with where it may differ from the frame being built.
    struct Spare {
        std::shared_ptr<std::uint32_t[]> pixels;
        std::vector<Area> lacking;
    };
    // The store of the newest image, which the viewer paints from. An older image that is being
    // painted is waited for; one held otherwise costs a fresh store.
    static constexpr std::size_t maxSpares = 1;

    static void checkSize(int width, int height);
    std::shared_ptr<std::uint32_t[]> newStore(std::size_t words) const;
    std::vector<Spare>::iterator unusedSpare(bool waitForPaints);
    void makeWritable();
    void bringInMissing(const Area& touched, bool overwritten);
    void bringInMissing() const;
    void copyArea(const std::uint32_t* from, std::uint32_t* to, const Area& part) const;
    void markPainted(const Area& written);
    std::size_t count() const { return std::size_t(width_) * height_; }
    std::size_t index(int x, int y) const { return std::size_t(y) * width_ + x; }

    Publishing publishing_;
    std::shared_ptr<detail::PaintGate> gate_;
    int width_ = 0;
    int height_ = 0;
    std::shared_ptr<std::uint32_t[]> pixels_;
    // Most recently given up first; images may still hold them.
    std::vector<Spare> spares_;
    // What this store lacks of the one given up at the last swap (which was complete), brought in
    // no sooner than needed (mutable: readers bring it in, which changes no pixel they can see).
    mutable std::vector<Area> missing_;
    // One bit per pixel written so far, rows starting on whole words, so that areas written more
    // than once count once. Dropped when complete, which most connections are after one update.
    std::vector<std::uint64_t> painted_;
    std::size_t unpainted_ = 0;
    std::vector<Area> written_;
};

// Seams for tests only.
struct FramebufferTesting {
    // Of the framebuffer that made `image` (none for other images): the stores alive now, and
    // the most that were ever alive at once.
    static std::optional<std::pair<int, int>> stores(const RFBImage& image);
};

}  // namespace rfb
