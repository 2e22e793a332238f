#include "JPEGDecompressor.hpp"

#include <turbojpeg.h>

#include <bit>
#include <new>
#include <string>

#include "RFBError.hpp"

namespace rfb {

namespace {

// The pixel layout whose four bytes are the pixel word in memory, alpha set to 0xFF.
constexpr int wordLayout = std::endian::native == std::endian::little ? TJPF_BGRA : TJPF_ARGB;

}  // namespace

JPEGDecompressor::~JPEGDecompressor() {
    if (handle_) {
        tjDestroy(handle_);
    }
}

void JPEGDecompressor::decode(std::span<const std::uint8_t> data, std::uint32_t* origin,
                              std::size_t stride, int width, int height) {
    if (!handle_) {
        handle_ = tjInitDecompress();
        if (!handle_) {
            throw std::bad_alloc();
        }
    }
    auto failed = [&] {
        return RFBError::protocolViolation(std::string("JPEG: ") + tjGetErrorStr2(handle_));
    };
    int imageWidth = 0, imageHeight = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle_, data.data(), data.size(), &imageWidth, &imageHeight,
                            &subsampling, &colorspace) != 0) {
        throw failed();
    }
    if (imageWidth != width || imageHeight != height) {
        throw RFBError::protocolViolation(
            "JPEG image " + std::to_string(imageWidth) + "×" + std::to_string(imageHeight) +
            " in a " + std::to_string(width) + "×" + std::to_string(height) + " rectangle");
    }
    if (tjDecompress2(handle_, data.data(), data.size(), reinterpret_cast<unsigned char*>(origin),
                      width, int(stride * sizeof(std::uint32_t)), height, wordLayout, 0) != 0) {
        throw failed();
    }
}

}  // namespace rfb
