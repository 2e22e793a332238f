// Tight updates, one after another on the same decoder so that its zlib streams carry on, in a
// fuzzed pixel format and refill size, against a plain reading until that has no verdict: what
// it accepts must decode to the same pixels from the same bytes, what it refuses must fail. The
// framebuffer is wider than any Tight rectangle may be.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "Decoders.hpp"
#include "FuzzInput.hpp"
#include "RFBError.hpp"

namespace {

struct Refused {};
// Other encodings, JPEG (the tests compare it with PIL), a zlib stream that ends (servers never end
// theirs) and data that zlib calls corrupt: ISA-L accepts some malformed Huffman tables that zlib
// refuses, and inflates what they never use, so such data proves nothing either way.
struct NoVerdict {};

// The plain reading of Tight: everything in memory, zlib's own inflate, every pixel through
// PixelFormat.
struct TightReference {
    struct Stream : z_stream {
        Stream() : z_stream{} { inflateInit(this); }
        ~Stream() { inflateEnd(this); }
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
        auto u16 = [&] {
            const std::uint8_t* p = take(2);
            return unsigned(p[0] << 8 | p[1]);
        };
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
            const unsigned control = u8(), method = control >> 4;
            const unsigned filter = method < 8 && control & 0x40 ? u8() : 0;
            std::vector<std::uint32_t> palette(method == 8 ? 1 : filter == 1 ? u8() + 1 : 0);
            for (auto& entry : palette) {
                entry = g.word(value(take(size)));
            }
            for (unsigned i = 0; i < 4; ++i) {
                streams[i] = control >> i & 1 ? nullptr : std::move(streams[i]);
            }
            if (method == 9) {
                throw NoVerdict{};
            }
            if (x + w > width || (y + h) * width > int(frame.size()) || w > 2048 || method > 9 ||
                filter > 2 || (filter == 2 && size == 1) || (palette.size() == 1 && method < 8)) {
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
                auto& z = streams[method & 3];
                z = z ? std::move(z) : std::make_unique<Stream>();
                data.push_back(0);  // room for one byte too many
                z->next_in = const_cast<Bytef*>(take(n)), z->avail_in = uInt(n);
                z->next_out = data.data(), z->avail_out = uInt(data.size());
                if (int code = inflate(z.get(), Z_SYNC_FLUSH);
                    code == Z_DATA_ERROR || code == Z_STREAM_END) {
                    throw NoVerdict{};
                }
                data.pop_back();
                if (z->avail_in != 0 || z->avail_out != 1) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const rfb::PixelFormat& format = fuzz::formatFor(data[0]);
    constexpr int width = 2100, height = 24;
    rfb::Framebuffer framebuffer(width, height);
    rfb::RectangleDecoder decoder(format);
    auto served = std::make_shared<std::size_t>(0);
    const std::span<const std::uint8_t> updates(data + 2, size - 2);
    rfb::RFBInput input =
        fuzz::inputOver(updates.data(), updates.size(), fuzz::chunkFor(data[1]), served);
    TightReference reference;
    std::vector<std::uint32_t> expected(std::size_t(width * height), 0xFF000000);
    bool judging = true;
    for (std::size_t at = 0;;) {
        bool refused = false;
        try {
            at += judging ? reference.decode(updates.subspan(at), format, expected, width) : 0;
        } catch (const Refused&) {
            refused = true;
        } catch (const NoVerdict&) {
            judging = false;  // the rest is only decoded
        }
        try {
            rfb::readFramebufferUpdate(input, decoder, framebuffer, {});
        } catch (const rfb::RFBError& error) {
            // ISA-L also refuses some damaged streams that zlib inflates, and inflates less of
            // some that lack the flush every server ends a rectangle's data with.
            const bool zlibDisagrees = error.text().starts_with("corrupt zlib data") ||
                                       error.text() == "Tight data truncated";
            if (judging && !refused && !zlibDisagrees) {
                std::abort();  // failed where the plain reading did not
            }
            return 0;
        }
        if (judging &&
            (refused || *served - input.available() != at || framebuffer.pixels() != expected)) {
            std::abort();
        }
    }
}
