#pragma once

// The plain reading of Tight that the decoder must agree with: everything in memory, zlib's own
// inflate, every pixel through PixelFormat.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "PixelFormat.hpp"

namespace fuzz {

struct Refused {};
// Other encodings, JPEG (the tests compare it with PIL), a zlib stream that ends (servers never end
// theirs) and data that zlib calls corrupt: ISA-L accepts some malformed Huffman tables that zlib
// refuses, and inflates what they never use, so such data proves nothing either way.
struct NoVerdict {};

struct TightReference {
    struct Stream {
        z_stream z{};
        Stream() { inflateInit(&z); }
        ~Stream() { inflateEnd(&z); }
    };
    std::array<std::unique_ptr<Stream>, 4> streams;

    // Reads one update (after its type byte) from the start of `in` into `frame`, `width` pixels
    // wide, and returns the bytes it took. Throws Refused where the data is invalid.
    std::size_t decode(std::span<const std::uint8_t> in, const rfb::PixelFormat& f,
                       std::vector<std::uint32_t>& frame, int width) {
        std::size_t at = 0;
        auto take = [&](std::size_t n) {
            return n <= in.size() - at ? &in[std::exchange(at, at + n)] : throw Refused{};
        };
        auto u8 = [&] { return unsigned(*take(1)); };
        auto u16 = [&] { return u8() << 8 | u8(); };
        // Three-byte pixels are red, green and blue: an rgb888 value read big-endian.
        const bool rgb = f.bitsPerPixel == 32 && f.depth == 24 && f.redMax == 255;
        const rfb::PixelFormat& g = rgb ? rfb::PixelFormat::rgb888 : f;
        const std::size_t size = rgb ? 3 : std::size_t(f.bytesPerPixel());
        auto value = [&](const std::uint8_t* p) {
            return rgb ? std::uint32_t(p[0] << 16 | p[1] << 8 | p[2]) : f.readValue(p);
        };
        const int shift[] = {g.redShift, g.greenShift, g.blueShift};
        const int max[] = {g.redMax, g.greenMax, g.blueMax};
        for (unsigned count = (u8(), u16()); count > 0; --count) {
            const int x = int(u16()), y = int(u16()), w = int(u16()), h = int(u16());
            if (u16() != 0 || u16() != 7) {
                throw NoVerdict{};  // the other encodings are not this reference's
            }
            if (x + w > width || (y + h) * width > int(frame.size()) || w > 2048) {
                throw Refused{};
            }
            const unsigned control = u8(), method = control >> 4;
            for (unsigned i = 0; i < 4; ++i) {
                streams[i] = control >> i & 1 ? nullptr : std::move(streams[i]);
            }
            const unsigned filter = method < 8 && control & 0x40 ? u8() : 0;
            std::vector<std::uint32_t> palette(method == 8 ? 1 : filter == 1 ? u8() + 1 : 0);
            for (auto& entry : palette) {
                entry = g.word(value(take(size)));
            }
            if (method == 9) {
                throw NoVerdict{};
            }
            if (method > 8 || filter > 2 || (filter == 2 && size == 1) ||
                (palette.size() == 1 && method < 8)) {
                throw Refused{};
            }
            const std::size_t row = filter != 1 ? w * size : palette.size() == 2 ? (w + 7) / 8 : w;
            std::vector<std::uint8_t> data(method < 8 ? row * h : 0);
            if (data.size() > 0 && data.size() < 12) {
                std::copy_n(take(data.size()), data.size(), data.begin());
            } else if (data.size() > 0) {
                std::size_t n = u8(), b = n, bit = 7;
                for (n &= 0x7F; b & 0x80 && bit < 21; bit += 7) {
                    b = u8();
                    n |= (bit == 14 ? b : b & 0x7F) << bit;
                }
                auto& stream = streams[method & 3];
                stream = stream ? std::move(stream) : std::make_unique<Stream>();
                data.push_back(0);  // room for one byte too many
                z_stream& z = stream->z;
                z.next_in = const_cast<Bytef*>(take(n)), z.avail_in = uInt(n);
                z.next_out = data.data(), z.avail_out = uInt(data.size());
                if (int code = inflate(&z, Z_SYNC_FLUSH);
                    code == Z_DATA_ERROR || code == Z_STREAM_END) {
                    throw NoVerdict{};
                }
                data.pop_back();
                if (z.avail_in != 0 || z.avail_out != 1) {
                    throw Refused{};
                }
            }
            std::vector<std::array<int, 3>> v(std::size_t(w * h) + 1);  // gradient channels
            auto channels = [&](int c, int r) { return c < 0 || r < 0 ? v.back() : v[r * w + c]; };
            for (int r = 0; r < h; ++r) {
                for (int c = 0; c < w; ++c) {
                    std::uint32_t& out = frame[std::size_t((y + r) * width + x + c)];
                    if (method == 8) {
                        out = palette[0];
                    } else if (filter == 1) {
                        unsigned index = palette.size() == 2
                                             ? data[r * row + c / 8] >> (7 - c % 8) & 1
                                             : data[r * row + c];
                        out = index < palette.size() ? palette[index] : throw Refused{};
                    } else if (std::uint32_t d = value(&data[r * row + c * size]); filter == 0) {
                        out = g.word(d);
                    } else {
                        std::uint32_t pixel = 0;
                        for (int k = 0; k < 3; ++k) {
                            int e = channels(c - 1, r)[k] + channels(c, r - 1)[k] -
                                    channels(c - 1, r - 1)[k];
                            v[r * w + c][k] =
                                (std::clamp(e, 0, max[k]) + int(d >> shift[k])) & max[k];
                            pixel |= std::uint32_t(v[r * w + c][k]) << shift[k];
                        }
                        out = g.word(pixel);
                    }
                }
            }
        }
        return at;
    }
};

}  // namespace fuzz
