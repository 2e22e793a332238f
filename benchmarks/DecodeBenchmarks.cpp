// Decoding throughput next to the baselines it should approach: memcpy for Raw and for
// publishing a frame, zlib's own inflate for ZRLE, and ≥1 Gpixel/s for solid fills.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Decoders.hpp"
#include "Framebuffer.hpp"
#include "HeapCounter.hpp"
#include "Log.hpp"
#include "RFBClient.hpp"
#include "RFBInput.hpp"

using namespace rfb;

namespace {

constexpr int screenWidth = 1920;
constexpr int screenHeight = 1080;
constexpr std::size_t screenPixels = std::size_t(screenWidth) * screenHeight;

// Big-endian message building.
struct Wire {
    std::vector<std::uint8_t> bytes;
    void u8(unsigned v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
    void u16(unsigned v) {
        u8(v >> 8);
        u8(v & 0xFF);
    }
    void u32(std::uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
    void update(std::int32_t encoding, int width = screenWidth, int height = screenHeight) {
        u8(0);
        u16(1);
        u16(0);
        u16(0);
        u16(unsigned(width));
        u16(unsigned(height));
        u32(static_cast<std::uint32_t>(encoding));
    }
    void append(const std::vector<std::uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
    }
};

// Serves the same update over and over, as if the server kept sending it, so one reader runs
// across all iterations just as it runs across a session.
class Replay {
  public:
    explicit Replay(std::vector<std::uint8_t> bytes)
        : bytes_(std::make_shared<std::vector<std::uint8_t>>(std::move(bytes))),
          position_(std::make_shared<std::size_t>(0)),
          input_([bytes = bytes_, position = position_](std::span<std::uint8_t> space) {
              std::size_t n = std::min(space.size(), bytes->size() - *position);
              std::memcpy(space.data(), bytes->data() + *position, n);
              *position = (*position + n) % bytes->size();
              return n;
          }) {}
    RFBInput& input() { return input_; }
    std::size_t size() const { return bytes_->size(); }

  private:
    std::shared_ptr<std::vector<std::uint8_t>> bytes_;
    std::shared_ptr<std::size_t> position_;
    RFBInput input_;
};

void reportPixels(benchmark::State& state, std::size_t pixelsPerIteration,
                  std::size_t bytesPerIteration) {
    state.counters["pixels"] = benchmark::Counter(
        double(pixelsPerIteration) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(std::int64_t(bytesPerIteration) * state.iterations());
}

void decodeRepeatedly(benchmark::State& state, Wire wire, const PixelFormat& format) {
    Replay replay(std::move(wire.bytes));
    Framebuffer framebuffer(screenWidth, screenHeight);
    RectangleDecoder decoder(format);
    for (auto _ : state) {
        readFramebufferUpdate(replay.input(), decoder, framebuffer, {});
        benchmark::DoNotOptimize(framebuffer.row(0));
        benchmark::ClobberMemory();
    }
    reportPixels(state, screenPixels, replay.size());
}

std::vector<std::uint8_t> noiseBytes(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::mt19937 random(7);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Raw ----------------------------------------------------------------------------------------

void BM_RawRGB888(benchmark::State& state) {
    Wire wire;
    wire.update(RFBEncoding::raw);
    wire.append(noiseBytes(screenPixels * 4));
    decodeRepeatedly(state, std::move(wire), PixelFormat::rgb888);
}

// What Raw costs before any pixel is converted: the bytes arriving in the reader's buffer and
// being consumed row by row.
void BM_RawReceiveOnly(benchmark::State& state) {
    Wire wire;
    wire.update(RFBEncoding::raw);
    wire.append(noiseBytes(screenPixels * 4));
    Replay replay(std::move(wire.bytes));
    const std::size_t rowBytes = std::size_t(screenWidth) * 4;
    for (auto _ : state) {
        replay.input().skip(15);
        for (int row = 0; row < screenHeight; ++row) {
            replay.input().ensure(rowBytes);
            benchmark::DoNotOptimize(replay.input().data());
            replay.input().advance(rowBytes);
        }
    }
    reportPixels(state, screenPixels, replay.size());
}

void BM_RawRGB565(benchmark::State& state) {
    Wire wire;
    wire.update(RFBEncoding::raw);
    wire.append(noiseBytes(screenPixels * 2));
    decodeRepeatedly(state, std::move(wire), PixelFormat::rgb565);
}

void BM_MemcpyFrame(benchmark::State& state) {
    std::vector<std::uint8_t> source = noiseBytes(screenPixels * 4);
    std::vector<std::uint8_t> target(source.size(), 1);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    reportPixels(state, screenPixels, source.size());
}

// Solid fills ---------------------------------------------------------------------------------

void BM_FillRRE(benchmark::State& state) {
    Wire wire;
    wire.update(RFBEncoding::rre);
    wire.u32(0);
    wire.u32(0x336699FF);
    decodeRepeatedly(state, std::move(wire), PixelFormat::rgb888);
}

void BM_FillHextile(benchmark::State& state) {
    Wire wire;
    wire.update(RFBEncoding::hextile);
    int tiles = ((screenWidth + 15) / 16) * ((screenHeight + 15) / 16);
    wire.u8(2);
    wire.u32(0x336699FF);
    for (int i = 1; i < tiles; ++i) {
        wire.u8(0);
    }
    decodeRepeatedly(state, std::move(wire), PixelFormat::rgb888);
}

// ZRLE encoding for the benchmarks -----------------------------------------------------------

// Each frame is compressed as the next part of one stream, as a server does across updates.
class Deflater {
  public:
    Deflater() {
        if (deflateInit(&stream_, Z_DEFAULT_COMPRESSION) != Z_OK) {
            std::abort();
        }
    }
    ~Deflater() { deflateEnd(&stream_); }

    std::vector<std::uint8_t> chunk(const std::vector<std::uint8_t>& data) {
        std::vector<std::uint8_t> out(deflateBound(&stream_, uLong(data.size())) + 64);
        stream_.next_in = const_cast<Bytef*>(data.data());
        stream_.avail_in = uInt(data.size());
        stream_.next_out = out.data();
        stream_.avail_out = uInt(out.size());
        if (deflate(&stream_, Z_SYNC_FLUSH) != Z_OK || stream_.avail_in != 0) {
            std::abort();
        }
        out.erase(out.end() - long(stream_.avail_out), out.end());
        return out;
    }

  private:
    z_stream stream_{};
};

// Chooses each tile's subencoding by size, the way servers do, so that the mix of solid,
// palette, run-length and raw tiles follows the content.
class ZRLEEncoder {
  public:
    explicit ZRLEEncoder(const std::vector<std::uint32_t>& image) : image_(image) {}

    std::vector<std::uint8_t> tiles() {
        for (int ty = 0; ty < screenHeight; ty += 64) {
            for (int tx = 0; tx < screenWidth; tx += 64) {
                tile(tx, ty, std::min(64, screenWidth - tx), std::min(64, screenHeight - ty));
            }
        }
        return std::move(out_);
    }

  private:
    void cpixel(std::uint32_t word) {
        out_.push_back(std::uint8_t(word));
        out_.push_back(std::uint8_t(word >> 8));
        out_.push_back(std::uint8_t(word >> 16));
    }
    void length(std::size_t run) {
        for (run -= 1; run >= 255; run -= 255) {
            out_.push_back(255);
        }
        out_.push_back(std::uint8_t(run));
    }

    void tile(int tx, int ty, int w, int h) {
        std::vector<std::uint32_t> pixels;
        for (int y = ty; y < ty + h; ++y) {
            auto row = image_.begin() + long(y) * screenWidth + tx;
            pixels.insert(pixels.end(), row, row + w);
        }
        std::unordered_map<std::uint32_t, unsigned> index;
        std::vector<std::uint32_t> palette;
        std::vector<std::pair<std::uint32_t, std::size_t>> runs;
        for (std::uint32_t p : pixels) {
            if (palette.size() < 128 && index.emplace(p, unsigned(palette.size())).second) {
                palette.push_back(p);
            }
            if (!runs.empty() && runs.back().first == p) {
                ++runs.back().second;
            } else {
                runs.emplace_back(p, 1);
            }
        }
        std::size_t n = palette.size();
        if (n == 1) {
            out_.push_back(1);
            cpixel(pixels[0]);
            return;
        }
        std::size_t rawSize = pixels.size() * 3;
        unsigned bits = n <= 2 ? 1 : n <= 4 ? 2 : 4;
        std::size_t packedSize =
            n <= 16 ? n * 3 + (std::size_t(w) * bits + 7) / 8 * std::size_t(h) : SIZE_MAX;
        std::size_t plainSize = 0, paletteRunSize = n <= 127 ? n * 3 : SIZE_MAX;
        for (auto [word, run] : runs) {
            std::size_t lengthBytes = (run - 1) / 255 + 1;
            plainSize += 3 + lengthBytes;
            if (paletteRunSize != SIZE_MAX) {
                paletteRunSize += run == 1 ? 1 : 1 + lengthBytes;
            }
        }
        std::size_t best = std::min({rawSize, packedSize, plainSize, paletteRunSize});
        if (best == packedSize) {
            out_.push_back(std::uint8_t(n));
            for (std::uint32_t p : palette) {
                cpixel(p);
            }
            for (int y = 0; y < h; ++y) {
                unsigned byte = 0, used = 0;
                for (int x = 0; x < w; ++x) {
                    byte = byte << bits | index[pixels[std::size_t(y) * w + x]];
                    used += bits;
                    if (used == 8) {
                        out_.push_back(std::uint8_t(byte));
                        byte = used = 0;
                    }
                }
                if (used > 0) {
                    out_.push_back(std::uint8_t(byte << (8 - used)));
                }
            }
        } else if (best == paletteRunSize) {
            out_.push_back(std::uint8_t(128 + n));
            for (std::uint32_t p : palette) {
                cpixel(p);
            }
            for (auto [word, run] : runs) {
                if (run == 1) {
                    out_.push_back(std::uint8_t(index[word]));
                } else {
                    out_.push_back(std::uint8_t(128 + index[word]));
                    length(run);
                }
            }
        } else if (best == plainSize) {
            out_.push_back(128);
            for (auto [word, run] : runs) {
                cpixel(word);
                length(run);
            }
        } else {
            out_.push_back(0);
            for (std::uint32_t p : pixels) {
                cpixel(p);
            }
        }
    }

    const std::vector<std::uint32_t>& image_;
    std::vector<std::uint8_t> out_;
};

std::uint32_t rgb(int r, int g, int b) {
    auto c = [](int v) { return std::uint32_t(std::clamp(v, 0, 255)); };
    return 0xFF000000 | c(r) << 16 | c(g) << 8 | c(b);
}

std::uint32_t blend(std::uint32_t from, std::uint32_t to, int level, int levels) {
    auto channel = [&](int shift) {
        int a = int(from >> shift & 0xFF), b = int(to >> shift & 0xFF);
        return a + (b - a) * level / levels;
    };
    return rgb(channel(16), channel(8), channel(0));
}

// A desktop as remote sessions show it: a gradient wallpaper, a menu bar, a document window
// with anti-aliased text, a dark code editor with coloured text, a photo and a dock.
class SyntheticDesktop {
  public:
    SyntheticDesktop() : image_(screenPixels), random_(42) {
        for (int y = 0; y < screenHeight; ++y) {
            std::uint32_t word = blend(rgb(40, 70, 140), rgb(180, 90, 120), y, screenHeight);
            std::fill_n(&at(0, y), screenWidth, word);
        }
        makeGlyphs();
        rect(0, 0, screenWidth, 24, rgb(236, 236, 236));
        text(12, 4, screenWidth - 24, 1, rgb(236, 236, 236), {rgb(20, 20, 20)});

        window(100, 60, 1000, 700);
        text(120, 100, 960, 38, 0xFFFFFFFF, {rgb(25, 25, 25)});

        window(1150, 100, 700, 500);
        rect(1150, 128, 700, 472, rgb(30, 30, 36));
        text(1170, 140, 660, 28, rgb(30, 30, 36),
             {rgb(220, 220, 220), rgb(86, 156, 214), rgb(206, 145, 120), rgb(106, 153, 85)});

        photo(1150, 640, 640, 360);
        rect(400, 1016, 1100, 60, rgb(210, 210, 215));
        for (int i = 0; i < 16; ++i) {
            rect(412 + i * 68, 1022, 56, 48,
                 rgb(int(random_() % 256), int(random_() % 256), int(random_() % 256)));
        }
    }

    const std::vector<std::uint32_t>& image() const { return image_; }

  private:
    std::uint32_t& at(int x, int y) { return image_[std::size_t(y) * screenWidth + x]; }

    void rect(int x, int y, int w, int h, std::uint32_t word) {
        for (int r = y; r < y + h; ++r) {
            std::fill_n(&at(x, r), w, word);
        }
    }

    void window(int x, int y, int w, int h) {
        for (int c = 0; c < w; ++c) {
            std::uint32_t word = blend(rgb(200, 200, 205), rgb(160, 160, 170), c, w);
            for (int r = 0; r < 28; ++r) {
                at(x + c, y + r) = word;
            }
        }
        rect(x, y + 28, w, h - 28, 0xFFFFFFFF);
        for (int i = 0; i < 3; ++i) {
            rect(x + 10 + i * 20, y + 8, 12, 12, rgb(230 - i * 60, 90 + i * 50, 80));
        }
    }

    // 96 glyphs of 7 × 12 coverage levels 0-3 made of strokes with anti-aliased edges.
    void makeGlyphs() {
        glyphs_.assign(96, std::vector<int>(7 * 12, 0));
        for (auto& glyph : glyphs_) {
            int strokes = 2 + int(random_() % 3);
            for (int s = 0; s < strokes; ++s) {
                int kind = int(random_() % 3);
                int p = 1 + int(random_() % 5), from = 2 + int(random_() % 4);
                for (int t = from; t < 11; ++t) {
                    int x = kind == 0 ? p : kind == 1 ? t % 7 : (t - from) * 5 / 9 + 1;
                    int y = kind == 1 ? 3 + p : t;
                    glyph[std::size_t(y) * 7 + x] = 3;
                    for (int dx : {-1, 1}) {
                        int& edge = glyph[std::size_t(y) * 7 + std::clamp(x + dx, 0, 6)];
                        edge = std::max(edge, 1 + int(random_() % 2));
                    }
                }
            }
        }
    }

    void text(int x, int y, int w, int lines, std::uint32_t background,
              const std::vector<std::uint32_t>& colours) {
        for (int line = 0; line < lines; ++line) {
            int cx = x + int(random_() % 3) * 16;
            int end = x + w - int(random_() % (unsigned(w) / 3));
            std::uint32_t colour = colours[0];
            while (cx + 8 <= end) {
                if (random_() % 6 == 0) {
                    cx += 8;
                    colour = colours[random_() % colours.size()];
                    continue;
                }
                const auto& glyph = glyphs_[random_() % glyphs_.size()];
                for (int gy = 0; gy < 12; ++gy) {
                    for (int gx = 0; gx < 7; ++gx) {
                        int level = glyph[std::size_t(gy) * 7 + gx];
                        at(cx + gx, y + line * 17 + gy) = blend(background, colour, level, 3);
                    }
                }
                cx += 8;
            }
        }
    }

    // Smooth value noise with grain, which compresses about as badly as a real photo.
    void photo(int x, int y, int w, int h) {
        const int cell = 24;
        int gw = w / cell + 2, gh = h / cell + 2;
        std::vector<int> grid(std::size_t(gw * gh) * 3);
        for (int& v : grid) {
            v = int(random_() % 256);
        }
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                int gx = c / cell, gy = r / cell;
                double fx = double(c % cell) / cell, fy = double(r % cell) / cell;
                int channel[3];
                for (int k = 0; k < 3; ++k) {
                    auto g = [&](int i, int j) { return grid[(std::size_t(j) * gw + i) * 3 + k]; };
                    double top = g(gx, gy) * (1 - fx) + g(gx + 1, gy) * fx;
                    double bottom = g(gx, gy + 1) * (1 - fx) + g(gx + 1, gy + 1) * fx;
                    channel[k] = int(top * (1 - fy) + bottom * fy) + int(random_() % 9) - 4;
                }
                at(x + c, y + r) = rgb(channel[0], channel[1], channel[2]);
            }
        }
    }

    std::vector<std::uint32_t> image_;
    std::mt19937 random_;
    std::vector<std::vector<int>> glyphs_;
};

// The frame is sent `streamFrames` times over one zlib stream; the decoder (and with it the
// stream) is renewed only when the replay starts over, so the benchmarks measure the steady
// state of a session rather than stream set-up.
constexpr std::size_t streamFrames = 8;

struct ZRLEFrame {
    std::vector<std::uint32_t> image;
    std::vector<std::uint8_t> tiles;
    std::vector<std::vector<std::uint8_t>> compressed;
    std::vector<std::uint8_t> updates;
    std::size_t compressedSize = 0;
};

ZRLEFrame makeZRLEFrame(std::vector<std::uint32_t> image) {
    ZRLEFrame frame{std::move(image), {}, {}, {}};
    frame.tiles = ZRLEEncoder(frame.image).tiles();
    Deflater deflater;
    Wire wire;
    for (std::size_t i = 0; i < streamFrames; ++i) {
        frame.compressed.push_back(deflater.chunk(frame.tiles));
        wire.update(RFBEncoding::zrle);
        wire.u32(std::uint32_t(frame.compressed.back().size()));
        wire.append(frame.compressed.back());
        frame.compressedSize += frame.compressed.back().size();
    }
    frame.updates = std::move(wire.bytes);

    // A benchmark of a wrong decoder would be worthless.
    Replay replay(frame.updates);
    Framebuffer framebuffer(screenWidth, screenHeight);
    RectangleDecoder decoder(PixelFormat::rgb888);
    for (std::size_t i = 0; i < streamFrames; ++i) {
        framebuffer.fill(0, 0, screenWidth, screenHeight, 0);
        readFramebufferUpdate(replay.input(), decoder, framebuffer, {});
        if (framebuffer.pixels() != frame.image) {
            std::fprintf(stderr, "ZRLE round trip failed\n");
            std::abort();
        }
    }
    return frame;
}

const ZRLEFrame& desktopFrame() {
    static const ZRLEFrame frame = makeZRLEFrame(SyntheticDesktop().image());
    return frame;
}

const ZRLEFrame& solidFrame() {
    static const ZRLEFrame frame =
        makeZRLEFrame(std::vector<std::uint32_t>(screenPixels, 0xFF336699));
    return frame;
}

void decodeZRLEFrames(benchmark::State& state, const ZRLEFrame& frame) {
    Replay replay(frame.updates);
    Framebuffer framebuffer(screenWidth, screenHeight);
    std::unique_ptr<RectangleDecoder> decoder;
    std::size_t frames = 0;
    for (auto _ : state) {
        if (frames++ % streamFrames == 0) {
            decoder = std::make_unique<RectangleDecoder>(PixelFormat::rgb888);
        }
        readFramebufferUpdate(replay.input(), *decoder, framebuffer, {});
        benchmark::DoNotOptimize(framebuffer.row(0));
        benchmark::ClobberMemory();
    }
    reportPixels(state, screenPixels, frame.updates.size() / streamFrames);
    state.counters["inflated"] = double(frame.tiles.size());
    state.counters["compressed"] = double(frame.compressedSize / streamFrames);
}

// The same stream through zlib alone, each frame inflated in one call into a buffer that is
// already large enough: the least any ZRLE decoder has to spend.
void inflateOnly(benchmark::State& state, const ZRLEFrame& frame) {
    std::vector<std::uint8_t> out(frame.tiles.size() + 65536);
    z_stream stream{};
    std::size_t frames = 0;
    for (auto _ : state) {
        std::size_t index = frames++ % streamFrames;
        if (index == 0) {
            inflateEnd(&stream);
            stream = z_stream{};
            inflateInit(&stream);
        }
        const auto& compressed = frame.compressed[index];
        stream.next_in = const_cast<Bytef*>(compressed.data());
        stream.avail_in = uInt(compressed.size());
        stream.next_out = out.data();
        stream.avail_out = uInt(out.size());
        inflate(&stream, Z_SYNC_FLUSH);
        if (out.size() - stream.avail_out != frame.tiles.size()) {
            state.SkipWithError("inflate produced the wrong size");
            break;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    inflateEnd(&stream);
    reportPixels(state, screenPixels, frame.compressedSize / streamFrames);
}

void tilesOnly(benchmark::State& state, const ZRLEFrame& frame) {
    Framebuffer framebuffer(screenWidth, screenHeight);
    for (auto _ : state) {
        ZRLETileDecoder(frame.tiles, PixelFormat::rgb888)
            .decode({0, 0, screenWidth, screenHeight}, framebuffer);
        benchmark::DoNotOptimize(framebuffer.row(0));
        benchmark::ClobberMemory();
    }
    reportPixels(state, screenPixels, frame.tiles.size());
}

void BM_FillZRLE(benchmark::State& state) {
    decodeZRLEFrames(state, solidFrame());
}
void BM_ZRLEDesktop(benchmark::State& state) {
    decodeZRLEFrames(state, desktopFrame());
}
void BM_ZRLEDesktopInflateOnly(benchmark::State& state) {
    inflateOnly(state, desktopFrame());
}
void BM_ZRLEDesktopTilesOnly(benchmark::State& state) {
    tilesOnly(state, desktopFrame());
}

// Publishing ---------------------------------------------------------------------------------

// Publishing shares the store with the image; any copying happens when the next update first
// writes, so both are timed together, for a one-pixel update: once with a viewer that releases
// each image at once, once with one that keeps holding the image before outside any paint, which
// costs a fresh store and a whole copy per update (the session window holds a frame only while
// painting it, and a decoder that needs a store being painted waits for the paint instead).
void publishFrames(benchmark::State& state, bool holdPrevious) {
    Framebuffer framebuffer(screenWidth, screenHeight);
    std::optional<RFBImage> held;
    for (auto _ : state) {
        auto image = framebuffer.makeImage();
        framebuffer.area(0, 0, 1, 1)[0] = 0xFF000001;
        benchmark::DoNotOptimize(image);
        benchmark::ClobberMemory();
        if (holdPrevious) {
            held = std::move(image);
        }
    }
    reportPixels(state, screenPixels, screenPixels * 4);
}
void BM_PublishFrame(benchmark::State& state) {
    publishFrames(state, false);
}
void BM_PublishFrameHeld(benchmark::State& state) {
    publishFrames(state, true);
}

// Session memory -----------------------------------------------------------------------------

std::vector<std::uint8_t> handshakeFor(int width, int height) {
    Wire wire;
    for (char c : std::string_view("RFB 003.008\n")) {
        wire.u8(static_cast<unsigned char>(c));
    }
    wire.append({1, 1, 0, 0, 0, 0});
    wire.u16(unsigned(width));
    wire.u16(unsigned(height));
    wire.append({32, 24, 0, 1, 0, 255, 0, 255, 0, 255, 16, 8, 0, 0, 0, 0});
    wire.u32(5);
    wire.append({'b', 'e', 'n', 'c', 'h'});
    return wire.bytes;
}

// A whole client session (handshake, session start, ZRLE updates, one published frame per
// update) with the heap's high-water mark compared to what decoding needs at the least: the
// framebuffer, one published frame, the receive buffer and one rectangle's inflated data.
void BM_SessionPeakMemory(benchmark::State& state) {
    const ZRLEFrame& frame = desktopFrame();
    Wire messages;
    messages.append(handshakeFor(screenWidth, screenHeight));
    for (const auto& compressed : frame.compressed) {
        messages.u8(0);  // FramebufferUpdate
        messages.update(RFBEncoding::zrle);
        messages.u32(std::uint32_t(compressed.size()));
        messages.append(compressed);
    }
    const std::vector<std::uint8_t>& stream = messages.bytes;
    setLogSink([](LogLevel, std::string_view) {});
    std::size_t peak = 0;
    std::size_t receiveBuffer = 0;
    for (auto _ : state) {
        std::size_t baseline = heap::live.load();
        heap::peak = baseline;
        {
            RFBConfiguration configuration;
            configuration.endpoint = RFBEndpoint::host("bench.invalid", 5900);
            RFBClient client(configuration);
            auto offset = std::make_shared<std::size_t>(0);
            RFBInput input([&, offset](std::span<std::uint8_t> space) -> std::size_t {
                if (*offset == stream.size()) {
                    throw RFBError::connectionClosed();
                }
                std::size_t n = std::min(space.size(), stream.size() - *offset);
                std::memcpy(space.data(), stream.data() + *offset, n);
                *offset += n;
                return n;
            });
            RFBClientTesting::runOn(client, input);
            receiveBuffer = std::max(receiveBuffer, input.capacity());
        }
        peak = heap::peak.load() - baseline;
    }
    setLogSink(nullptr);
    std::size_t largest = 0;
    for (const auto& chunk : frame.compressed) {
        largest = std::max(largest, chunk.size());
    }
    double megabyte = 1024.0 * 1024.0;
    double budget = double(2 * screenPixels * 4 + largest + RFBInput::chunkSize + 65536);
    state.counters["peak_MiB"] = double(peak) / megabyte;
    state.counters["budget_MiB"] = budget / megabyte;
    state.counters["receive_MiB"] = double(receiveBuffer) / megabyte;
    state.counters["peak_over_budget"] = double(peak) / budget;
}

}  // namespace

BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawReceiveOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawRGB888)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawRGB565)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillRRE)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillHextile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillZRLE)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZRLEDesktopInflateOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZRLEDesktop)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZRLEDesktopTilesOnly)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishFrameHeld)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SessionPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
