#include "Decoders.hpp"

#include "PixelConversion.hpp"

namespace rfb {

using namespace decoding;

RectangleDecoder::RectangleDecoder(const PixelFormat& format)
    : format_(checked(format)), table_(format) {}

RectangleDecoder::~RectangleDecoder() = default;

void RectangleDecoder::setFormat(const PixelFormat& format) {
    if (format == format_) {
        return;
    }
    table_ = PixelTable(checked(format));
    format_ = format;
}

std::uint32_t RectangleDecoder::pixel(RFBInput& input) {
    return withPixels(format_, table_, [&](auto convert) {
        constexpr std::size_t size = decltype(convert)::size;
        std::uint32_t word = convert(need(input, size));
        input.advance(size);
        return word;
    });
}

}  // namespace rfb
