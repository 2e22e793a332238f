#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace rfb {

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

    int width() const { return width_; }
    int height() const { return height_; }
    const std::uint32_t* words() const { return words_.get(); }
    std::uint32_t pixel(int x, int y) const { return words_[std::size_t(y) * width_ + x]; }
    // Keeps the pixels alive for as long as the returned handle lives (for zero-copy wrapping).
    std::shared_ptr<const std::uint32_t[]> storage() const { return words_; }

  private:
    std::shared_ptr<const std::uint32_t[]> words_;
    int width_;
    int height_;
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

    // Replaces the store with opaque black; a failed resize leaves everything unchanged.
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
    // One for the newest image and one for an older image that the viewer still shows, so that
    // a viewer slower than the updates does not cost a fresh store and a full copy per update.
    static constexpr std::size_t maxSpares = 2;

    static void checkSize(int width, int height);
    std::vector<Spare>::iterator unusedSpare();
    void makeWritable();
    void bringInMissing(const Area& touched, bool overwritten);
    void bringInMissing() const;
    void copyArea(const std::uint32_t* from, std::uint32_t* to, const Area& part) const;
    void markPainted(const Area& written);
    std::size_t count() const { return std::size_t(width_) * height_; }
    std::size_t index(int x, int y) const { return std::size_t(y) * width_ + x; }

    Publishing publishing_;
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

}  // namespace rfb
