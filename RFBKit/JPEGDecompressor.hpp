#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rfb {

// Decodes JPEG images straight into pixel words (0xFFRRGGBB) with TurboJPEG. The decompressor
// is made on first use and kept for the connection.
class JPEGDecompressor {
  public:
    JPEGDecompressor() = default;
    ~JPEGDecompressor();
    JPEGDecompressor(const JPEGDecompressor&) = delete;
    JPEGDecompressor& operator=(const JPEGDecompressor&) = delete;

    // Decodes an image that must be exactly width × height into rows `stride` words apart.
    // Throws protocolViolation for other sizes and for anything TurboJPEG reports, warnings
    // included: a server's image is never truncated or corrupt.
    void decode(std::span<const std::uint8_t> data, std::uint32_t* origin, std::size_t stride,
                int width, int height);

  private:
    void* handle_ = nullptr;
};

}  // namespace rfb
