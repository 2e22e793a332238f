#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "Cursor.hpp"
#include "Framebuffer.hpp"
#include "JPEGDecompressor.hpp"
#include "PixelFormat.hpp"
#include "RFBConfiguration.hpp"
#include "ZlibInflater.hpp"

namespace rfb {

class RFBInput;

// How 8- and 16-bit pixels become pixel words: computed channel by channel for little-endian
// true-colour formats (many at a time in rows), and looked up by their little-endian wire value
// for all 8-bit formats and the 16-bit formats that cannot be computed.
struct PixelTable {
    // A channel's byte is (((value >> shift) & mask) << lift) * factor >> 16, in 16 bits.
    struct Channel {
        std::uint32_t shift = 0;
        std::uint32_t mask = 0;
        std::uint32_t lift = 0;
        std::uint32_t factor = 0;
    };
    using Channels = std::array<Channel, 3>;  // red, green, blue
    std::vector<std::uint32_t> words;
    std::optional<Channels> channels;

    explicit PixelTable(const PixelFormat& format);
};

struct RectHeader {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Decodes rectangles of one connection into its framebuffer. Owns the connection's ZRLE stream
// and its Tight streams and JPEG decompressor.
// Each encoding has its own unit (RawDecoder.cpp, ZRLEDecoder.cpp, ...) over the shared pixel
// conversion in PixelConversion.hpp.
class RectangleDecoder {
  public:
    // Throws std::invalid_argument for formats other than 8, 16 or 32 bits per pixel.
    explicit RectangleDecoder(const PixelFormat& format);
    ~RectangleDecoder();

    const PixelFormat& format() const { return format_; }
    void setFormat(const PixelFormat& format);

    std::uint32_t pixel(RFBInput& input);
    void decodeRaw(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);
    void decodeCopyRect(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);
    void decodeRRE(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);
    void decodeHextile(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);
    void decodeZRLE(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);
    // True when the rectangle came as JPEG, and so only close to the server's pixels.
    bool decodeTight(const RectHeader& rect, RFBInput& input, Framebuffer& framebuffer);

    bool hasZRLEStream() const { return zrleStream_ != nullptr; }

  private:
    PixelFormat format_;
    PixelTable table_;
    std::unique_ptr<ZlibInflater> zrleStream_;
    std::array<std::unique_ptr<ZlibInflater>, 4> tightStreams_;
    JPEGDecompressor jpeg_;
    // The previous row's channels while a gradient-filtered rectangle is decoded.
    std::vector<std::uint16_t> gradientAbove_;
};

struct EncodingStatistics {
    std::uint64_t rectangles = 0;
    std::uint64_t pixels = 0;
    std::uint64_t jpegRectangles = 0;  // Tight's
    // Includes waiting for the rectangle's bytes to arrive.
    std::chrono::nanoseconds time{0};
};
using DecodeStatistics = std::map<std::int32_t, EncodingStatistics>;

// What an update reports besides pixels: cursor shapes, that the screen was resized (the next
// update request must then be non-incremental), and the screen layout of servers that have one.
struct UpdateObserver {
    std::function<void(std::optional<RFBCursor>)> cursor;
    std::function<void()> desktopResized;
    DecodeStatistics* statistics = nullptr;  // filled per encoding when given
    std::function<void(event::DesktopLayout)> desktopLayout = nullptr;
    std::function<void()> extendedKeys = nullptr;  // the server takes QEMU's key events
    // Areas that came as JPEG are added: they stay approximate until painted losslessly.
    std::vector<RFBRect>* lossy = nullptr;
};

// Reads the rest of a FramebufferUpdate (after its type byte) into `framebuffer`.
void readFramebufferUpdate(RFBInput& input, RectangleDecoder& decoder, Framebuffer& framebuffer,
                           const UpdateObserver& observer);

// Decodes the inflated tiles of one ZRLE rectangle held whole in memory (the connection's own
// rectangles are decoded as they inflate).
class ZRLETileDecoder {
  public:
    // Throws std::invalid_argument for formats other than 8, 16 or 32 bits per pixel.
    ZRLETileDecoder(std::span<const std::uint8_t> data, const PixelFormat& format);
    void decode(const RectHeader& rect, Framebuffer& framebuffer);
    // Bytes consumed so far; whatever follows the last tile is left unread.
    std::size_t position() const { return position_; }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t position_ = 0;
    PixelFormat format_;
    PixelTable table_;
};

}  // namespace rfb
