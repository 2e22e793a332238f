#include "Cursor.hpp"

#include <algorithm>
#include <stdexcept>

#include "Decoders.hpp"
#include "RFBError.hpp"
#include "RFBInput.hpp"

namespace rfb {

namespace {
constexpr int maxCursorSize = 256;
}

std::optional<RFBCursor> readCursor(const RectHeader& rect, RFBInput& input,
                                    const PixelFormat& format) {
    if (rect.width < 1 || rect.height < 1) {
        return std::nullopt;
    }
    if (rect.width > maxCursorSize || rect.height > maxCursorSize) {
        throw RFBError::protocolViolation("cursor size");
    }
    const std::size_t bytesPerPixel = std::size_t(format.bytesPerPixel());
    if (bytesPerPixel != 1 && bytesPerPixel != 2 && bytesPerPixel != 4) {
        throw std::invalid_argument("unsupported pixel format");
    }
    const std::size_t width = std::size_t(rect.width);
    const std::size_t height = std::size_t(rect.height);
    const std::size_t pixelBytes = width * height * bytesPerPixel;
    const std::size_t maskRow = (width + 7) / 8;
    input.ensure(pixelBytes + maskRow * height);
    const std::uint8_t* pixels = input.data();
    const std::uint8_t* mask = pixels + pixelBytes;

    std::vector<std::uint32_t> words(width * height, 0);
    for (std::size_t r = 0; r < height; ++r) {
        for (std::size_t c = 0; c < width; ++c) {
            if (mask[r * maskRow + c / 8] >> (7 - c % 8) & 1) {
                std::size_t i = r * width + c;
                words[i] = format.word(format.readValue(pixels + i * bytesPerPixel)) | 0xFF000000;
            }
        }
    }
    input.advance(pixelBytes + maskRow * height);

    auto image = premultipliedImage(std::move(words), rect.width, rect.height);
    if (!image) {
        return std::nullopt;
    }
    RFBCursor::Point hotSpot{double(std::clamp(rect.x, 0, rect.width - 1)),
                             double(std::clamp(rect.y, 0, rect.height - 1))};
    return RFBCursor{std::move(*image), hotSpot};
}

std::optional<RFBImage> premultipliedImage(std::vector<std::uint32_t> words, int width,
                                           int height) {
    if (width < 1 || height < 1 || words.size() != std::size_t(width) * std::size_t(height)) {
        return std::nullopt;
    }
    // The image shares the vector's storage instead of copying it.
    auto owner = std::make_shared<const std::vector<std::uint32_t>>(std::move(words));
    std::shared_ptr<const std::uint32_t[]> view(owner, owner->data());
    return Framebuffer::image(std::move(view), width, height);
}

}  // namespace rfb
