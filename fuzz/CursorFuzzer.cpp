// A Cursor pseudo-rectangle: header fields and payload.

#include "Cursor.hpp"
#include "Decoders.hpp"
#include "FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) {
        return 0;
    }
    auto u16 = [&](std::size_t i) { return data[i] << 8 | data[i + 1]; };
    rfb::RectHeader header{u16(0), u16(2), u16(4), u16(6)};
    const rfb::PixelFormat& format = fuzz::formatFor(data[8]);
    rfb::RFBInput input = fuzz::inputOver(data + 9, size - 9, fuzz::chunkFor(data[8] >> 2));
    try {
        rfb::readCursor(header, input, format);
    } catch (const rfb::RFBError&) {
    }
    return 0;
}
