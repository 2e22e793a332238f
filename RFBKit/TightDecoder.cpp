#include <array>
#include <string>

#include "Decoders.hpp"
#include "PixelConversion.hpp"
#include "RFBError.hpp"

namespace rfb {

using namespace decoding;

namespace {

constexpr int maxTightWidth = 2048;
// Filtered data shorter than this is sent as it is, without zlib.
constexpr std::size_t minToCompress = 12;

enum : unsigned { fillMethod = 8, jpegMethod = 9 };
enum : unsigned { copyFilter = 0, paletteFilter = 1, gradientFilter = 2 };

[[noreturn]] void tightViolation(const std::string& what) {
    throw RFBError::protocolViolation("Tight " + what);
}

// One to three bytes, seven bits in each of the first two and eight in the third: at most 22 bits.
std::size_t compactLength(RFBInput& input) {
    std::size_t length = 0;
    for (int i = 0; i < 3; ++i) {
        unsigned byte = *need(input, 1);
        input.advance(1);
        if (i == 2) {
            return length | std::size_t{byte} << 14;
        }
        length |= std::size_t{byte & 0x7F} << (7 * i);
        if (!(byte & 0x80)) {
            break;
        }
    }
    return length;
}

// Whether pixels travel as three bytes, red, green and blue.
bool hasTightRGB(const PixelFormat& format) {
    return format.trueColor && format.bitsPerPixel == 32 && format.depth == 24 &&
           format.redMax == 255 && format.greenMax == 255 && format.blueMax == 255;
}

template <class Body>
auto withTightPixels(const PixelFormat& format, const PixelTable& table, Body&& body) {
    if (hasTightRGB(format)) {
        return body(TightRGB{});
    }
    return withPixels(format, table, std::forward<Body>(body));
}

// Hands the `height` rows of filtered data, `rowBytes` each, to `row(bytes, r)`: read as they
// are when short, otherwise inflated from `stream` as many rows at a time as are at hand. The
// stream must inflate to exactly the rows.
template <class Row>
void basicData(RFBInput& input, std::unique_ptr<ZlibInflater>& stream, std::size_t rowBytes,
               int height, Row&& row) {
    const std::size_t size = rowBytes * std::size_t(height);
    if (size == 0) {
        return;
    }
    if (size < minToCompress) {
        const std::uint8_t* p = need(input, size);
        for (int r = 0; r < height; ++r) {
            row(p + std::size_t(r) * rowBytes, r);
        }
        input.advance(size);
        return;
    }
    const std::size_t length = compactLength(input);
    const std::uint8_t* p = need(input, length);
    if (!stream) {
        stream = std::make_unique<ZlibInflater>();
    }
    stream->begin({p, length}, size);
    for (int r = 0; r < height;) {
        std::span<const std::uint8_t> window = stream->fill(rowBytes);
        if (window.size() < rowBytes) {
            tightViolation("data truncated");
        }
        int rows = int(std::min<std::size_t>(std::size_t(height - r), window.size() / rowBytes));
        for (int i = 0; i < rows; ++i) {
            row(window.data() + std::size_t(i) * rowBytes, r + i);
        }
        stream->consume(std::size_t(rows) * rowBytes);
        r += rows;
    }
    stream->end();
    input.advance(length);
}

// What the gradient filter predicts on: three channels, each with its maximum (all ones).
struct RGBChannels {
    using Values = std::array<int, 3>;
    static constexpr Values max = {255, 255, 255};
    static constexpr std::size_t size = 3;
    Values read(const std::uint8_t* p) const { return {p[0], p[1], p[2]}; }
    std::uint32_t word(const Values& v) const {
        return opaqueBlack | std::uint32_t(v[0]) << 16 | std::uint32_t(v[1]) << 8 |
               std::uint32_t(v[2]);
    }
};

struct FormatChannels {
    using Values = std::array<int, 3>;
    const PixelFormat* format;
    Values max;
    std::size_t size;
    explicit FormatChannels(const PixelFormat& f)
        : format(&f), max{f.redMax, f.greenMax, f.blueMax}, size(std::size_t(f.bytesPerPixel())) {}
    Values read(const std::uint8_t* p) const {
        std::uint32_t value = format->readValue(p);
        return {int(value >> format->redShift & format->redMax),
                int(value >> format->greenShift & format->greenMax),
                int(value >> format->blueShift & format->blueMax)};
    }
    std::uint32_t word(const Values& v) const {
        return format->word(std::uint32_t(v[0]) << format->redShift |
                            std::uint32_t(v[1]) << format->greenShift |
                            std::uint32_t(v[2]) << format->blueShift);
    }
};

// Undoes the gradient filter on one row: each channel is its difference from the prediction
// left + above − above-left, clamped, with zeros outside the rectangle. `above` holds the
// previous row's channels and becomes this row's.
template <class Channels>
void gradientRow(const std::uint8_t* in, std::uint32_t* out, int width, std::uint16_t* above,
                 const Channels& channels) {
    typename Channels::Values left{}, aboveLeft{};
    for (int x = 0, w = width; x < w; ++x) {
        const typename Channels::Values delta = channels.read(in + std::size_t(x) * channels.size);
        std::uint16_t* up = above + 3 * std::size_t(x);
        for (int c = 0; c < 3; ++c) {
            const int max = channels.max[c];
            const int predicted = std::clamp(left[c] + up[c] - aboveLeft[c], 0, max);
            aboveLeft[c] = up[c];
            left[c] = (predicted + delta[c]) & max;
            up[c] = std::uint16_t(left[c]);
        }
        out[x] = channels.word(left);
    }
}

}  // namespace

void RectangleDecoder::decodeTight(const RectHeader& rect, RFBInput& input,
                                   Framebuffer& framebuffer) {
    framebuffer.validate(rect.x, rect.y, rect.width, rect.height);
    if (rect.width > maxTightWidth) {
        tightViolation("rectangle " + std::to_string(rect.width) + " wide");
    }
    const unsigned control = *need(input, 1);
    input.advance(1);
    for (unsigned i = 0; i < tightStreams_.size(); ++i) {
        if (control >> i & 1) {
            tightStreams_[i].reset();
        }
    }
    const unsigned method = control >> 4;
    const int width = rect.width;
    const std::size_t stride = std::size_t(framebuffer.width());
    std::uint32_t* origin = framebuffer.area(rect.x, rect.y, rect.width, rect.height);
    auto at = [&](int r) { return origin + std::size_t(r) * stride; };
    if (method == jpegMethod) {
        if (format_.bitsPerPixel == 8) {
            tightViolation("JPEG at 8 bits per pixel");
        }
        const std::size_t length = compactLength(input);
        jpeg_.decode({need(input, length), length}, origin, stride, width, rect.height);
        input.advance(length);
        addRect(lossy_, {rect.x, rect.y, rect.width, rect.height});
        return;
    }
    if (method > jpegMethod) {
        tightViolation("compression control " + std::to_string(control));
    }
    unsigned filter = copyFilter;
    if (method < fillMethod && control & 0x40) {
        filter = *need(input, 1);
        input.advance(1);
    }
    std::unique_ptr<ZlibInflater>& stream = tightStreams_[method & 3];
    if (filter == gradientFilter) {
        if (format_.bitsPerPixel == 8) {
            tightViolation("gradient at 8 bits per pixel");
        }
        gradientAbove_.assign(3 * std::size_t(width), 0);
        auto rows = [&](const auto& channels) {
            basicData(input, stream, std::size_t(width) * channels.size, rect.height,
                      [&](const std::uint8_t* in, int r) {
                          gradientRow(in, at(r), width, gradientAbove_.data(), channels);
                      });
        };
        if (hasTightRGB(format_)) {
            rows(RGBChannels{});
        } else {
            rows(FormatChannels(format_));
        }
        return;
    }
    withTightPixels(format_, table_, [&](auto convert) {
        constexpr std::size_t size = decltype(convert)::size;
        if (method == fillMethod) {
            std::uint32_t word = convert(need(input, size));
            input.advance(size);
            if (origin) {
                fillRect(origin, stride, width, rect.height, word);
            }
        } else if (filter == copyFilter) {
            basicData(
                input, stream, size * std::size_t(width), rect.height,
                [&](const std::uint8_t* in, int r) { convertRow(in, at(r), width, convert); });
        } else if (filter == paletteFilter) {
            // The row loops keep the width in a local: the pixel stores could alias it.
            const unsigned count = *need(input, 1) + 1u;
            input.advance(1);
            if (count < 2) {
                tightViolation("palette of one colour");
            }
            std::array<std::uint32_t, 256> palette{};
            const std::uint8_t* p = need(input, count * size);
            for (unsigned i = 0; i < count; ++i) {
                palette[i] = convert(p + i * size);
            }
            input.advance(count * size);
            if (count == 2) {
                basicData(input, stream, (std::size_t(width) + 7) / 8, rect.height,
                          [&](const std::uint8_t* in, int r) {
                              std::uint32_t* out = at(r);
                              for (int x = 0, w = width; x < w; ++x) {
                                  out[x] = palette[in[x / 8] >> (7 - x % 8) & 1];
                              }
                          });
            } else {
                basicData(input, stream, std::size_t(width), rect.height,
                          [&](const std::uint8_t* in, int r) {
                              std::uint32_t* out = at(r);
                              unsigned highest = 0;
                              for (int x = 0, w = width; x < w; ++x) {
                                  highest = std::max<unsigned>(highest, in[x]);
                                  out[x] = palette[in[x]];
                              }
                              if (highest >= count) {
                                  tightViolation("palette index " + std::to_string(highest));
                              }
                          });
            }
        } else {
            tightViolation("filter " + std::to_string(filter));
        }
    });
}

}  // namespace rfb
