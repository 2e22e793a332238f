// Recorded Xvnc sessions (benchmarks/recordings, made by benchmarks/record.sh) served over
// loopback, each iteration on a fresh connection, to Tessaral's client and to libvncclient asked
// for the same encoding and pixel format. Timed from the first update byte sent to the client
// having decoded the last update. CPU time is the client process's from the start of the
// connection (so that no work done before the first timestamp of a fast client is missed) to the
// last update; the replay server runs in a process of its own and costs the clients nothing.
// Each run's last frame must equal a plain decode of the recording made beforehand, or the client
// gets no figures and the program fails: a fast path that corrupts the frame cannot look fast.
// Tessaral also replays each recording inside TLS (VeNCrypt, anonymous) and inside RSA-AES-256
// (type 129), which must cost it little.
//
// usage: replay-benchmarks [--recordings=DIR] [--iterations=N] [benchmark flags]
//        replay-benchmarks [--recordings=DIR] [--benchmark_filter=RE] --write-references=DIR

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nettle/bignum.h>
#include <nettle/rsa.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Decoders.hpp"
#include "EAXStream.hpp"
#include "Framebuffer.hpp"
#include "Log.hpp"
#include "PixelFormat.hpp"
#include "RFBClient.hpp"
#include "RFBInput.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#ifndef TESSARAL_RECORDINGS_DIR
#define TESSARAL_RECORDINGS_DIR "recordings"
#endif

// Recordings --------------------------------------------------------------------------------

struct Recording {
    std::string name;
    int width = 0;
    int height = 0;
    std::array<std::uint8_t, 16> format{};
    rfb::PixelFormat pixelFormat;
    std::string desktopName;
    std::vector<std::int32_t> encodings;
    std::uint32_t updates = 0;
    std::uint64_t pixels = 0;
    std::vector<std::uint8_t> stream;
    std::set<std::int32_t> used;  // every rectangle encoding that occurs in the stream
    // Where each update message ends in the stream (with the other messages before it), so that a
    // server replaying to a viewer can send one update per request.
    std::vector<std::size_t> updateEnds;
    // The last frame of the plain decode (see plainLastFrame) that every client's last frame must
    // equal, or why there is none.
    std::vector<std::uint32_t> reference;
    std::optional<std::string> referenceError;
};

class ByteReader {
  public:
    ByteReader(const std::vector<std::uint8_t>& bytes, std::size_t position = 0)
        : bytes_(bytes), position_(position) {}

    bool atEnd() const { return position_ == bytes_.size(); }
    std::size_t position() const { return position_; }
    const std::uint8_t* take(std::size_t count) {
        if (count > bytes_.size() - position_) {
            throw std::runtime_error("ends inside a message at byte " + std::to_string(position_));
        }
        const std::uint8_t* start = bytes_.data() + position_;
        position_ += count;
        return start;
    }
    std::uint32_t u8() { return *take(1); }
    std::uint32_t u16() {
        const std::uint8_t* p = take(2);
        return std::uint32_t(p[0]) << 8 | p[1];
    }
    std::uint32_t u32() {
        const std::uint8_t* p = take(4);
        return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
               p[3];
    }
    std::uint64_t u64() {
        std::uint64_t high = u32();  // the halves of one expression would be read in any order
        return high << 32 | u32();
    }

  private:
    const std::vector<std::uint8_t>& bytes_;
    std::size_t position_;
};

std::vector<std::uint8_t> inflateFile(const std::filesystem::path& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (!file) {
        throw std::runtime_error("cannot open");
    }
    gzbuffer(file, 1 << 20);
    std::vector<std::uint8_t> bytes(1 << 24);
    std::size_t size = 0;
    int n;
    while ((n = gzread(file, bytes.data() + size, unsigned(bytes.size() - size))) > 0) {
        size += std::size_t(n);
        if (size == bytes.size()) {
            bytes.resize(bytes.size() * 2);
        }
    }
    bool failed = n < 0;
    gzclose(file);
    bytes.resize(size);
    if (failed) {
        throw std::runtime_error("corrupt compressed data");
    }
    return bytes;
}

void skipHextile(ByteReader& in, std::size_t bpp, std::size_t width, std::size_t height) {
    for (std::size_t ty = 0; ty < height; ty += 16) {
        for (std::size_t tx = 0; tx < width; tx += 16) {
            std::uint32_t flags = in.u8();
            if (flags & 1) {
                in.take(std::min<std::size_t>(16, width - tx) *
                        std::min<std::size_t>(16, height - ty) * bpp);
                continue;
            }
            in.take(((flags & 2) ? bpp : 0) + ((flags & 4) ? bpp : 0));
            if (flags & 8) {
                std::size_t subrects = in.u8();
                in.take(subrects * (2 + ((flags & 16) ? bpp : 0)));
            }
        }
    }
}

void skipTight(ByteReader& in, const rfb::PixelFormat& format, std::size_t width,
               std::size_t height) {
    auto compactLength = [&] {
        std::size_t length = 0;
        for (unsigned shift = 0, byte = 0x80; byte & 0x80 && shift < 21; shift += 7) {
            byte = in.u8();
            length |= std::size_t(shift == 14 ? byte : byte & 0x7F) << shift;
        }
        return length;
    };
    const std::size_t bpp = format.bitsPerPixel == 32 && format.depth == 24 && format.redMax == 255
                                ? 3
                                : format.bitsPerPixel / 8;
    const std::uint32_t control = in.u8();
    if (control >> 4 == 8) {
        in.take(bpp);
    } else if (control >> 4 == 9) {
        in.take(compactLength());
    } else {
        std::size_t row = width * bpp;
        if (control & 0x40 && in.u8() == 1) {
            std::size_t colours = in.u8() + 1;
            in.take(colours * bpp);
            row = colours == 2 ? (width + 7) / 8 : width;
        }
        in.take(row * height < 12 ? row * height : compactLength());
    }
}

// Walks the server's messages on its own rather than trusting the recorder's counts: a stream
// cut inside a message, or one whose counts disagree with its header, would time the wrong work.
void walkStream(Recording& recording) {
    ByteReader in(recording.stream);
    const std::size_t bpp = recording.pixelFormat.bitsPerPixel / 8;
    std::uint32_t updates = 0;
    std::uint64_t pixels = 0;
    while (!in.atEnd()) {
        std::uint32_t type = in.u8();
        switch (type) {
            case 0: {
                in.take(1);
                std::uint32_t count = in.u16();
                for (std::uint32_t i = 0; i < count; ++i) {
                    in.take(4);
                    std::size_t width = in.u16(), height = in.u16();
                    auto encoding = std::int32_t(in.u32());
                    if (encoding == rfb::RFBEncoding::lastRect) {
                        break;
                    }
                    recording.used.insert(encoding);
                    if (encoding >= 0) {
                        pixels += width * height;
                    }
                    switch (encoding) {
                        case rfb::RFBEncoding::raw:
                            in.take(width * height * bpp);
                            break;
                        case rfb::RFBEncoding::copyRect:
                            in.take(4);
                            break;
                        case rfb::RFBEncoding::hextile:
                            skipHextile(in, bpp, width, height);
                            break;
                        case rfb::RFBEncoding::zrle:
                            in.take(in.u32());
                            break;
                        case rfb::RFBEncoding::tight:
                            skipTight(in, recording.pixelFormat, width, height);
                            break;
                        case rfb::RFBEncoding::desktopSize:
                            break;
                        default:
                            throw std::runtime_error("rectangle encoding " +
                                                     std::to_string(encoding));
                    }
                }
                ++updates;
                recording.updateEnds.push_back(in.position());
                break;
            }
            case 1:
                in.take(3);
                in.take(6 * std::size_t(in.u16()));
                break;
            case 2:
                break;
            case 3:
                in.take(3);
                in.take(in.u32());
                break;
            default:
                throw std::runtime_error("server message type " + std::to_string(type));
        }
    }
    if (updates != recording.updates || pixels != recording.pixels) {
        throw std::runtime_error("holds " + std::to_string(updates) + " updates of " +
                                 std::to_string(pixels) + " pixels, its header says " +
                                 std::to_string(recording.updates) + " of " +
                                 std::to_string(recording.pixels));
    }
}

// The recording decoded the plainest way Tessaral knows: from memory on one thread, into a
// framebuffer that copies every image and so never shares, swaps or lazily fills a store. A fast
// path in the client that corrupts the frame would otherwise only show as a fast replay.
std::vector<std::uint32_t> plainLastFrame(const Recording& recording) {
    std::size_t position = 0;
    rfb::RFBInput input([&](std::span<std::uint8_t> space) {
        if (position == recording.stream.size()) {
            throw std::runtime_error("the stream ends inside an update");
        }
        std::size_t n = std::min(space.size(), recording.stream.size() - position);
        std::memcpy(space.data(), recording.stream.data() + position, n);
        position += n;
        return n;
    });
    rfb::Framebuffer framebuffer(recording.width, recording.height,
                                 rfb::Framebuffer::Publishing::copyEachImage);
    rfb::RectangleDecoder decoder(recording.pixelFormat);
    for (std::uint32_t update = 0; update < recording.updates;) {
        switch (input.u8()) {
            case 0:
                rfb::readFramebufferUpdate(input, decoder, framebuffer, {});
                ++update;
                break;
            case 1:
                input.skip(3);
                input.skip(6 * std::size_t(input.u16()));
                break;
            case 2:
                break;
            case 3:
                input.skip(3);
                input.skip(input.u32());
                break;
            default:
                throw std::runtime_error("unexpected server message");
        }
    }
    return framebuffer.pixels();
}

// Why a client's last frame (0xFFRRGGBB words, row by row) is not the recording's reference, or
// nothing when it is.
std::optional<std::string> differenceFromReference(const Recording& recording,
                                                   std::string_view client,
                                                   const std::vector<std::uint32_t>& frame) {
    std::string prefix = recording.name + ": the last frame of " + std::string(client) + " ";
    if (recording.referenceError) {
        return prefix + "cannot be checked, " + *recording.referenceError;
    }
    const std::vector<std::uint32_t>& reference = recording.reference;
    if (frame.size() != reference.size()) {
        return prefix + "has " + std::to_string(frame.size()) + " pixels, the reference decode " +
               std::to_string(reference.size()) + " (all differ)";
    }
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t p = 0; p < frame.size(); ++p) {
        if (frame[p] != reference[p]) {
            first = differing == 0 ? p : first;
            ++differing;
        }
    }
    if (differing == 0) {
        return std::nullopt;
    }
    char detail[96];
    std::snprintf(detail, sizeof detail, " (first at %zu,%zu: %08X, reference %08X)",
                  first % std::size_t(recording.width), first / std::size_t(recording.width),
                  unsigned(frame[first]), unsigned(reference[first]));
    return prefix + "differs from the reference decode in " + std::to_string(differing) + " of " +
           std::to_string(reference.size()) + " pixels" + detail;
}

Recording loadRecording(const std::filesystem::path& path) {
    Recording recording;
    recording.name = path.filename().string();
    recording.name.erase(recording.name.find('.'));
    std::vector<std::uint8_t> file = inflateFile(path);
    constexpr std::string_view magic = "RFBREC1\n";
    if (file.size() < magic.size() || !std::equal(magic.begin(), magic.end(), file.begin())) {
        throw std::runtime_error("not a recording");
    }
    ByteReader in(file, magic.size());
    recording.width = int(in.u16());
    recording.height = int(in.u16());
    std::copy_n(in.take(16), 16, recording.format.begin());
    recording.pixelFormat = *rfb::PixelFormat::fromBytes(recording.format);
    std::size_t nameLength = in.u16();
    const std::uint8_t* name = in.take(nameLength);
    recording.desktopName.assign(name, name + nameLength);
    std::size_t encodingCount = in.u16();
    for (std::size_t i = 0; i < encodingCount; ++i) {
        recording.encodings.push_back(std::int32_t(in.u32()));
    }
    recording.updates = in.u32();
    recording.pixels = in.u64();
    std::uint64_t length = in.u64();
    if (length != file.size() - in.position()) {
        throw std::runtime_error("stream length disagrees with the file");
    }
    recording.stream.assign(file.begin() + long(in.position()), file.end());
    walkStream(recording);
    try {
        recording.reference = plainLastFrame(recording);
    } catch (const std::exception& error) {
        recording.referenceError = std::string("no reference decode: ") + error.what();
    }
    return recording;
}

std::optional<rfb::RFBQuality> qualityFor(const rfb::PixelFormat& format) {
    for (rfb::RFBQuality quality : rfb::allQualities) {
        if (rfb::pixelFormat(quality) == format) {
            return quality;
        }
    }
    return std::nullopt;
}

// Encodings that carry pixels, as opposed to pseudo-encodings that announce abilities.
std::set<std::int32_t> pixelEncodings(const std::vector<std::int32_t>& list) {
    std::set<std::int32_t> result;
    for (std::int32_t encoding : list) {
        if (encoding >= 0 && encoding < 256) {
            result.insert(encoding);
        }
    }
    return result;
}

// Replay server ------------------------------------------------------------------------------

void writeAll(int fd, const void* data, std::size_t size) {
    auto* p = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        }
        p += n;
        size -= std::size_t(n);
    }
}

// Waits at most `timeout` for `fd` to become ready for `events`.
bool waitFor(int fd, short events, std::chrono::milliseconds timeout) {
    pollfd entry{fd, events, 0};
    int n;
    do {
        n = ::poll(&entry, 1, int(timeout.count()));
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

std::vector<std::uint8_t> readExactly(int fd, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t have = 0;
    while (have < count) {
        if (!waitFor(fd, POLLIN, 10s)) {
            throw std::runtime_error("the client went silent in the handshake");
        }
        ssize_t n = ::recv(fd, bytes.data() + have, count - have, 0);
        if (n <= 0) {
            throw std::runtime_error("the client closed the connection in the handshake");
        }
        have += std::size_t(n);
    }
    return bytes;
}

std::uint32_t be(const std::uint8_t* p, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
        value = value << 8 | p[i];
    }
    return value;
}

// How a replay travels: as it is, inside anonymous TLS, or inside RSA-AES-256's records.
enum class Protection : std::uint32_t { clear = 0, tls = 1, rsaAES = 2 };

void randomBytes(void*, std::size_t length, std::uint8_t* destination) {
    while (length > 0) {
        const ssize_t n = ::getrandom(destination, length, 0);
        if (n > 0) {
            destination += n;
            length -= std::size_t(n);
        }
    }
}

std::vector<std::uint8_t> sha256Of(std::initializer_list<std::span<const std::uint8_t>> parts) {
    sha256_ctx context;
    sha256_init(&context);
    for (std::span<const std::uint8_t> part : parts) {
        sha256_update(&context, part.size(), part.data());
    }
    std::vector<std::uint8_t> digest(SHA256_DIGEST_SIZE);
    sha256_digest(&context, digest.size(), digest.data());
    return digest;
}

// The replay server's RSA key, made once: the client is told to trust it, as a user would.
class ServerKey {
  public:
    static constexpr unsigned bits = 2048;
    static constexpr std::size_t length = bits / 8;

    ServerKey() {
        rsa_public_key_init(&public_);
        rsa_private_key_init(&private_);
        mpz_set_ui(public_.e, 65'537);
        if (rsa_generate_keypair(&public_, &private_, nullptr, &randomBytes, nullptr, nullptr, bits,
                                 0) == 0) {
            throw std::runtime_error("no RSA key could be made");
        }
        wire_ = {0, 0, bits >> 8, bits & 0xFF};
        wire_.resize(4 + 2 * length);
        nettle_mpz_get_str_256(length, wire_.data() + 4, public_.n);
        nettle_mpz_get_str_256(length, wire_.data() + 4 + length, public_.e);
    }
    ~ServerKey() {
        rsa_public_key_clear(&public_);
        rsa_private_key_clear(&private_);
    }
    ServerKey(const ServerKey&) = delete;
    ServerKey& operator=(const ServerKey&) = delete;

    const std::vector<std::uint8_t>& wire() const { return wire_; }

    std::vector<std::uint8_t> decrypt(std::span<const std::uint8_t> encrypted,
                                      std::size_t size) const {
        mpz_t number;
        nettle_mpz_init_set_str_256_u(number, encrypted.size(), encrypted.data());
        std::vector<std::uint8_t> message(size);
        const int done = rsa_sec_decrypt(&public_, &private_, nullptr, &randomBytes, size,
                                         message.data(), number);
        mpz_clear(number);
        if (done == 0) {
            throw std::runtime_error("the client's random could not be decrypted");
        }
        return message;
    }

  private:
    rsa_public_key public_;
    rsa_private_key private_;
    std::vector<std::uint8_t> wire_;
};

// `secret` encrypted to the key a client sent (its size, modulus and exponent), with the
// encryption's length in front.
std::vector<std::uint8_t> encryptTo(const std::vector<std::uint8_t>& key,
                                    std::span<const std::uint8_t> secret) {
    const std::size_t length = (key.size() - 4) / 2;
    rsa_public_key client;
    rsa_public_key_init(&client);
    nettle_mpz_set_str_256_u(client.n, length, key.data() + 4);
    nettle_mpz_set_str_256_u(client.e, length, key.data() + 4 + length);
    mpz_t encrypted;
    mpz_init(encrypted);
    const bool done =
        rsa_public_key_prepare(&client) != 0 &&
        rsa_encrypt(&client, nullptr, &randomBytes, secret.size(), secret.data(), encrypted) != 0;
    std::vector<std::uint8_t> message(2 + length);
    message[0] = std::uint8_t(length >> 8);
    message[1] = std::uint8_t(length);
    if (done) {
        nettle_mpz_get_str_256(length, message.data() + 2, encrypted);
    }
    mpz_clear(encrypted);
    rsa_public_key_clear(&client);
    if (!done) {
        throw std::runtime_error("the client's RSA key was refused");
    }
    return message;
}

// The server's end of a connection: the socket as it is, or TLS or RSA-AES records over it once
// started. Reads and writes block in the handshake; in the replay the socket does not block, and
// the Some calls return -1 with EAGAIN when it would.
class Wire {
  public:
    explicit Wire(int fd) : fd_(fd) {}
    ~Wire() {
        if (tls_) {
            gnutls_deinit(tls_);
            gnutls_anon_free_server_credentials(anonymous_);
        }
    }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void startTLS() {
        gnutls_anon_allocate_server_credentials(&anonymous_);
        gnutls_anon_set_server_known_dh_params(anonymous_, GNUTLS_SEC_PARAM_MEDIUM);
        gnutls_init(&tls_, GNUTLS_SERVER);
        gnutls_credentials_set(tls_, GNUTLS_CRD_ANON, anonymous_);
        gnutls_priority_set_direct(tls_, "NORMAL:+ANON-ECDH:+ANON-DH:-VERS-TLS1.3", nullptr);
        gnutls_transport_set_int(tls_, fd_);
        gnutls_handshake_set_timeout(tls_, 10'000);
        int result;
        do {
            result = gnutls_handshake(tls_);
        } while (result < 0 && gnutls_error_is_fatal(result) == 0);
        if (result < 0) {
            throw std::runtime_error(std::string("TLS handshake: ") + gnutls_strerror(result));
        }
    }

    // RSA-AES-256 with a password only (type 129, subtype 2), as far as the records start.
    void startRSAAES(const ServerKey& key) {
        writeAll(fd_, key.wire().data(), key.wire().size());
        std::vector<std::uint8_t> clientKey = readExactly(fd_, 4);
        const std::uint32_t clientBits = be(clientKey.data(), 4);
        if (clientBits < 1024 || clientBits > 8192) {
            throw std::runtime_error("the client's RSA key has " + std::to_string(clientBits) +
                                     " bits");
        }
        const std::vector<std::uint8_t> numbers = readExactly(fd_, 2 * ((clientBits + 7) / 8));
        clientKey.insert(clientKey.end(), numbers.begin(), numbers.end());
        std::vector<std::uint8_t> serverRandom(32), clientRandom;
        randomBytes(nullptr, serverRandom.size(), serverRandom.data());
        const std::vector<std::uint8_t> sealed = encryptTo(clientKey, serverRandom);
        writeAll(fd_, sealed.data(), sealed.size());
        const std::uint32_t length = be(readExactly(fd_, 2).data(), 2);
        clientRandom = key.decrypt(readExactly(fd_, length), 32);

        records_ = std::make_unique<Records>(fd_);
        records_->stream.emplace(records_->input, *records_, sha256Of({clientRandom, serverRandom}),
                                 sha256Of({serverRandom, clientRandom}));
        write(sha256Of({key.wire(), clientKey}));
        if (read(SHA256_DIGEST_SIZE) != sha256Of({clientKey, key.wire()})) {
            throw std::runtime_error("the client's RSA-AES hash is wrong");
        }
        write(std::vector<std::uint8_t>{2});  // a password only
        read(read(1)[0]);                     // an empty user name
        read(read(1)[0]);                     // the password, taken as it is
    }

    void write(std::span<const std::uint8_t> bytes) { write(bytes.data(), bytes.size()); }
    void write(const void* data, std::size_t size) {
        if (records_) {
            records_->stream->send({static_cast<const std::uint8_t*>(data), size});
            records_->flush(true);
            return;
        }
        if (!tls_) {
            writeAll(fd_, data, size);
            return;
        }
        for (auto* p = static_cast<const std::uint8_t*>(data); size > 0;) {
            const ssize_t n = sendSome(p, size);
            if (n < 0) {
                throw std::runtime_error("the client stopped reading in the handshake");
            }
            p += n;
            size -= std::size_t(n);
        }
    }
    std::vector<std::uint8_t> read(std::size_t count) {
        if (records_) {
            std::vector<std::uint8_t> bytes(count);
            for (std::size_t have = 0; have < count;) {
                have += records_->stream->receive(std::span(bytes).subspan(have));
            }
            return bytes;
        }
        if (!tls_) {
            return readExactly(fd_, count);
        }
        std::vector<std::uint8_t> bytes(count);
        for (std::size_t have = 0; have < count;) {
            if (gnutls_record_check_pending(tls_) == 0 && !waitFor(fd_, POLLIN, 10s)) {
                throw std::runtime_error("the client went silent in the handshake");
            }
            const ssize_t n = receiveSome(bytes.data() + have, count - have);
            if (n == 0) {
                throw std::runtime_error("the client closed the connection in the handshake");
            }
            have += std::size_t(std::max<ssize_t>(n, 0));
        }
        return bytes;
    }
    ssize_t sendSome(const std::uint8_t* data, std::size_t size) {
        if (records_) {
            // Sealed here, so that encrypting is inside the timed span as with TLS; new bytes are
            // taken only once the records before them are out.
            if (!records_->flush(false)) {
                errno = EAGAIN;
                return -1;
            }
            records_->stream->send({data, size});
            records_->flush(false);
            return ssize_t(size);
        }
        if (!tls_) {
            return ::send(fd_, data, size, MSG_NOSIGNAL);
        }
        return fromTLS(gnutls_record_send(tls_, data, size));
    }
    // Waits until what is sealed has gone out.
    void finishSending() {
        if (records_) {
            records_->flush(true);
        }
    }
    ssize_t receiveSome(std::uint8_t* data, std::size_t size) {
        // The client's requests during the replay are read and dropped unopened.
        if (!tls_) {
            return ::recv(fd_, data, size, 0);
        }
        return fromTLS(gnutls_record_recv(tls_, data, size));
    }

  private:
    // RSA-AES's records: read from the socket through a reader, sealed into an outbox that the
    // socket is then given as far as it takes.
    struct Records final : rfb::RFBStream {
        explicit Records(int socket)
            : fd(socket),
              input([socket](std::span<std::uint8_t> space) { return readSome(socket, space); }) {}
        std::size_t receive(std::span<std::uint8_t> space) override { return readSome(fd, space); }
        void send(std::span<const std::uint8_t> bytes) override {
            outbox.insert(outbox.end(), bytes.begin(), bytes.end());
        }
        // Sends the outbox, waiting for the socket when `block`; true once it is empty.
        bool flush(bool block) {
            while (sent < outbox.size()) {
                const ssize_t n =
                    ::send(fd, outbox.data() + sent, outbox.size() - sent, MSG_NOSIGNAL);
                if (n > 0) {
                    sent += std::size_t(n);
                } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    if (!block) {
                        return false;
                    }
                    waitFor(fd, POLLOUT, 10s);
                } else {
                    throw std::runtime_error(std::string("send: ") + std::strerror(errno));
                }
            }
            outbox.clear();
            sent = 0;
            return true;
        }
        static std::size_t readSome(int fd, std::span<std::uint8_t> space) {
            if (!waitFor(fd, POLLIN, 10s)) {
                throw std::runtime_error("the client went silent in the handshake");
            }
            const ssize_t n = ::recv(fd, space.data(), space.size(), 0);
            if (n <= 0) {
                throw std::runtime_error("the client closed the connection in the handshake");
            }
            return std::size_t(n);
        }

        int fd;
        rfb::RFBInput input;
        std::optional<rfb::EAXStream> stream;
        std::vector<std::uint8_t> outbox;
        std::size_t sent = 0;
    };

    static ssize_t fromTLS(ssize_t result) {
        if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED) {
            errno = EAGAIN;
            return -1;
        }
        if (result < 0) {
            errno = EIO;
            return -1;
        }
        return result;
    }

    int fd_;
    gnutls_session_t tls_ = nullptr;
    gnutls_anon_server_credentials_t anonymous_ = nullptr;
    std::unique_ptr<Records> records_;
};

// The control message's top two bits say how the replay is protected.
constexpr int protectionShift = 30;

struct ServeResult {
    std::int32_t ok = 0;
    std::int64_t firstByteNanoseconds = 0;  // steady clock, comparable across processes
    char message[240] = {};
};

class ReplayServer {
  public:
    explicit ReplayServer(const std::vector<Recording>& recordings) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
        }
        port_ = ntohs(address.sin_port);
        int control[2], results[2];
        if (::pipe2(control, O_CLOEXEC) != 0 || ::pipe2(results, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        // A process of its own, so that serving costs the clients' process no CPU time.
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::prctl(PR_SET_NAME, "replay-server");  // tells it apart in perf and top
            ::close(control[1]);
            ::close(results[0]);
            serveForever(recordings, control[0], results[1]);
            ::_exit(0);
        }
        ::close(control[0]);
        ::close(results[1]);
        control_ = control[1];
        results_ = results[0];
        ::close(listener_);
    }

    ~ReplayServer() {
        ::close(control_);  // the server's loop ends on end of file
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            auto deadline = Clock::now() + 2s;
            while (::waitpid(pid_, &status, WNOHANG) == 0 && Clock::now() < deadline) {
                ::usleep(10'000);
            }
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        ::close(results_);
    }

    int port() const { return port_; }
    const ServerKey& key() const { return key_; }

    // The next connection gets recording `index`, protected as asked.
    void serve(std::uint32_t index, Protection protection) {
        index |= std::uint32_t(protection) << protectionShift;
        writeAll(control_, &index, sizeof index);
    }

    ServeResult result() {
        ServeResult result;
        if (!waitFor(results_, POLLIN, 60s) ||
            ::read(results_, &result, sizeof result) != ssize_t(sizeof result)) {
            std::fprintf(stderr, "replay-benchmarks: the replay server stopped answering\n");
            std::exit(1);
        }
        return result;
    }

  private:
    void serveForever(const std::vector<Recording>& recordings, int control, int results) {
        std::uint32_t index;
        while (::read(control, &index, sizeof index) == ssize_t(sizeof index)) {
            ServeResult result;
            int connection = -1;
            try {
                if (!waitFor(listener_, POLLIN, 30s)) {
                    throw std::runtime_error("no client connected");
                }
                connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0) {
                    throw std::runtime_error(std::string("accept: ") + std::strerror(errno));
                }
                int one = 1;
                ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                result.firstByteNanoseconds =
                    serveOne(recordings.at(index & ((1u << protectionShift) - 1)), connection,
                             Protection(index >> protectionShift), key_);
                result.ok = 1;
            } catch (const std::exception& error) {
                std::snprintf(result.message, sizeof result.message, "%s", error.what());
            }
            writeAll(results, &result, sizeof result);
            if (connection >= 0) {
                // After a replay the client decides when it is done: leaving first could cut its
                // last update. A refused client is let go at once.
                if (result.ok) {
                    drainUntilClosed(connection, 10s);
                }
                ::close(connection);
            }
        }
    }

    // Does the server's side of the handshake with the recorded name, size and pixel format,
    // checks that the client asks for what the recording was made with, then sends the recorded
    // messages without waiting for requests. Returns when the first update byte was sent.
    static std::int64_t serveOne(const Recording& recording, int fd, Protection protection,
                                 const ServerKey& key) {
        Wire wire(fd);
        std::string_view version = "RFB 003.008\n";
        wire.write(version.data(), version.size());
        std::vector<std::uint8_t> reply = wire.read(12);
        if (std::string_view(reinterpret_cast<const char*>(reply.data()), 10) != "RFB 003.00") {
            throw std::runtime_error("the client answered an unexpected protocol version");
        }
        if (protection == Protection::tls) {
            offerAnonymousTLS(wire);
        } else if (protection == Protection::rsaAES) {
            const std::uint8_t security[] = {1, 129};
            wire.write(security, sizeof security);
            if (wire.read(1)[0] != 129) {
                throw std::runtime_error("the client did not choose RSA-AES-256");
            }
            wire.startRSAAES(key);
        } else {
            const std::uint8_t security[] = {1, 1};
            wire.write(security, sizeof security);
            if (wire.read(1)[0] != 1) {
                throw std::runtime_error("the client chose a security type other than None");
            }
        }
        const std::uint8_t securityResult[] = {0, 0, 0, 0};
        wire.write(securityResult, sizeof securityResult);
        wire.read(1);  // ClientInit

        std::vector<std::uint8_t> init = {
            std::uint8_t(recording.width >> 8), std::uint8_t(recording.width),
            std::uint8_t(recording.height >> 8), std::uint8_t(recording.height)};
        init.insert(init.end(), recording.format.begin(), recording.format.end());
        auto nameLength = std::uint32_t(recording.desktopName.size());
        for (int shift = 24; shift >= 0; shift -= 8) {
            init.push_back(std::uint8_t(nameLength >> shift));
        }
        init.insert(init.end(), recording.desktopName.begin(), recording.desktopName.end());
        wire.write(init.data(), init.size());

        // The format in effect is the ServerInit one until the client sets its own.
        std::array<std::uint8_t, 16> format = recording.format;
        std::optional<std::vector<std::int32_t>> encodings;
        for (;;) {
            std::uint8_t type = wire.read(1)[0];
            if (type == 0) {
                std::vector<std::uint8_t> body = wire.read(19);
                std::copy(body.begin() + 3, body.end(), format.begin());
            } else if (type == 2) {
                std::vector<std::uint8_t> head = wire.read(3);
                std::vector<std::uint8_t> list = wire.read(4 * be(&head[1], 2));
                encodings.emplace();
                for (std::size_t i = 0; i < list.size(); i += 4) {
                    encodings->push_back(std::int32_t(be(&list[i], 4)));
                }
            } else if (type == 3) {
                wire.read(9);
                break;
            } else {
                throw std::runtime_error("client message type " + std::to_string(type) +
                                         " before its first update request");
            }
        }
        // The padding bytes carry nothing.
        if (!std::equal(format.begin(), format.begin() + 13, recording.format.begin())) {
            throw std::runtime_error("the client asked for another pixel format");
        }
        if (!encodings || pixelEncodings(*encodings) != pixelEncodings(recording.encodings)) {
            throw std::runtime_error("the client asked for other encodings");
        }
        for (std::int32_t encoding : recording.used) {
            if (std::find(encodings->begin(), encodings->end(), encoding) == encodings->end()) {
                throw std::runtime_error("the client did not announce encoding " +
                                         std::to_string(encoding) + " of the recording");
            }
        }

        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        std::int64_t firstByte = 0;
        std::size_t sent = 0;
        std::vector<std::uint8_t> discard(1 << 16);
        const auto& stream = recording.stream;
        while (sent < stream.size()) {
            pollfd entry{fd, POLLIN | POLLOUT, 0};
            if (::poll(&entry, 1, 30'000) <= 0) {
                throw std::runtime_error("the client stopped reading");
            }
            if (entry.revents & POLLIN) {
                // Requests and the like: read so that the client never blocks on sending.
                if (wire.receiveSome(discard.data(), discard.size()) == 0) {
                    throw std::runtime_error("the client closed the connection during the replay");
                }
            }
            if (entry.revents & POLLOUT) {
                if (sent == 0) {
                    firstByte = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    Clock::now().time_since_epoch())
                                    .count();
                }
                std::size_t chunk = std::min<std::size_t>(stream.size() - sent, 1 << 18);
                ssize_t n = wire.sendSome(stream.data() + sent, chunk);
                if (n > 0) {
                    sent += std::size_t(n);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    throw std::runtime_error(std::string("send: ") + std::strerror(errno));
                }
            }
            if (entry.revents & (POLLERR | POLLHUP)) {
                throw std::runtime_error("the connection failed during the replay");
            }
        }
        wire.finishSending();
        return firstByte;
    }

    // VeNCrypt with its anonymous TLS subtype, as Xvnc serves it.
    static void offerAnonymousTLS(Wire& wire) {
        const std::uint8_t security[] = {1, 19, 0, 2};
        wire.write(security, sizeof security);
        if (wire.read(1)[0] != 19 || wire.read(2) != std::vector<std::uint8_t>{0, 2}) {
            throw std::runtime_error("the client did not choose VeNCrypt 0.2");
        }
        const std::uint8_t subtypes[] = {0, 1, 0, 0, 1, 1};  // TLSNone (257)
        wire.write(subtypes, sizeof subtypes);
        if (wire.read(4) != std::vector<std::uint8_t>{0, 0, 1, 1}) {
            throw std::runtime_error("the client did not choose TLSNone");
        }
        const std::uint8_t accepted = 1;
        wire.write(&accepted, 1);
        wire.startTLS();
    }

    static void drainUntilClosed(int fd, std::chrono::milliseconds timeout) {
        std::vector<std::uint8_t> discard(1 << 16);
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (!waitFor(fd, POLLIN, 100ms)) {
                continue;
            }
            ssize_t n = ::recv(fd, discard.data(), discard.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                return;
            }
        }
    }

    ServerKey key_;  // made before the server's process starts, so known to both
    int listener_ = -1;
    int port_ = 0;
    pid_t pid_ = -1;
    int control_ = -1;
    int results_ = -1;
};

// Clients ------------------------------------------------------------------------------------

double cpuSeconds(clockid_t clock) {
    timespec now;
    ::clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}
double processCPUSeconds() {
    return cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
}
double threadCPUSeconds() {
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

Clock::time_point fromNanoseconds(std::int64_t nanoseconds) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(nanoseconds)));
}

struct Run {
    std::optional<std::string> error;
    double seconds = 0;
    double cpuSeconds = 0;
    // The part of cpuSeconds spent by the thread that waits for the updates (Tessaral only).
    double waitingCPUSeconds = 0;
    std::vector<std::uint32_t> frame;  // the last frame as 0xFFRRGGBB words
};

Run failure(std::string message) {
    Run run;
    run.error = std::move(message);
    return run;
}

// Waits for the client's Disconnected, so that no receive thread of this run is still using
// CPU while the next one is measured.
void finish(rfb::RFBClient& client) {
    client.stop();
    auto deadline = Clock::now() + 5s;
    while (!client.events().ended() && Clock::now() < deadline) {
        client.events().next(50ms);
    }
    while (client.events().tryNext()) {
    }
}

Run runTessaral(ReplayServer& server, const Recording& recording, std::uint32_t index,
                Protection protection) {
    std::optional<rfb::RFBQuality> quality = qualityFor(recording.pixelFormat);
    if (!quality) {
        return failure("Tessaral has no quality with the recording's pixel format");
    }
    rfb::RFBConfiguration configuration;
    configuration.endpoint = rfb::RFBEndpoint::host("127.0.0.1", server.port());
    configuration.quality = *quality;
    configuration.localCursor = false;
    configuration.connectTimeout = 10s;
    configuration.requireEncryption = protection != Protection::clear;
    if (protection == Protection::rsaAES) {
        configuration.credentials = rfb::RFBCredentials{"", "secret"};
        configuration.trustedIdentity =
            rfb::RFBIdentity{rfb::RFBIdentity::Kind::rsaKey, server.key().wire()};
    }
    rfb::RFBClient client(configuration);
    rfb::RFBClientTesting::setEncodings(client, recording.encodings);

    server.serve(index, protection);
    const double cpuStart = processCPUSeconds();
    const double waitingStart = threadCPUSeconds();
    double waitingEnd = 0;
    client.start();
    auto deadline = Clock::now() + 60s;
    std::optional<Clock::time_point> end;
    double cpuEnd = 0;
    std::optional<std::string> error;
    while (!end && !error && Clock::now() < deadline) {
        // Most updates wake this loop through FrameAvailable; the short time-out covers the
        // last one, whose count can land just after its frame was taken.
        std::optional<rfb::RFBEvent> event = client.events().next(1ms);
        if (event) {
            if (auto* ended = std::get_if<rfb::event::Disconnected>(&*event)) {
                error = ended->error ? ended->error->errorDescription() : "disconnected";
                break;
            } else if (std::holds_alternative<rfb::event::FrameAvailable>(*event)) {
                client.takeFrame();
            }
        }
        if (client.statistics().updates >= recording.updates) {
            end = Clock::now();
            cpuEnd = processCPUSeconds();
            waitingEnd = threadCPUSeconds();
        }
    }
    ServeResult served = server.result();
    Run run;
    if (!served.ok) {
        run.error = std::string("replay server: ") + served.message;
    } else if (error) {
        run.error = "Tessaral: " + *error;
    } else if (!end) {
        run.error = "Tessaral did not decode all updates in time";
    } else {
        run.seconds =
            std::chrono::duration<double>(*end - fromNanoseconds(served.firstByteNanoseconds))
                .count();
        run.cpuSeconds = cpuEnd - cpuStart;
        run.waitingCPUSeconds = waitingEnd - waitingStart;
        // The frame the viewer would show last, published with the last update's count.
        if (std::optional<rfb::RFBImage> image = client.takeFrame()) {
            run.frame.assign(image->words(),
                             image->words() + std::size_t(image->width()) * image->height());
        }
    }
    finish(client);
    return run;
}

struct LibVNCState {
    std::uint32_t updates = 0;
    std::uint32_t wanted = 0;
    Clock::time_point end;
    // For a viewer built on libvncclient: its frame buffer holds the server's pixel format, which
    // a screen cannot show, so each rectangle is widened to 0xFFRRGGBB words as it arrives.
    const rfb::PixelFormat* convertFrom = nullptr;
    std::vector<std::uint32_t> words;
};

int stateTag;

void finishedUpdate(rfbClient* client) {
    auto* state = static_cast<LibVNCState*>(rfbClientGetClientData(client, &stateTag));
    if (++state->updates == state->wanted) {
        state->end = Clock::now();
    }
}

void convertRectangle(rfbClient* client, int x, int y, int w, int h) {
    auto* state = static_cast<LibVNCState*>(rfbClientGetClientData(client, &stateTag));
    const rfb::PixelFormat& format = *state->convertFrom;
    const std::size_t bpp = format.bitsPerPixel / 8;
    const std::size_t stride = std::size_t(client->width);
    for (int row = y; row < y + h; ++row) {
        const std::uint8_t* source = client->frameBuffer + (std::size_t(row) * stride + x) * bpp;
        std::uint32_t* target = state->words.data() + std::size_t(row) * stride + x;
        // The common formats get loops the compiler can vectorise, as a real viewer would write.
        if (bpp == 4 && format.redShift == 16 && format.greenShift == 8 && format.blueShift == 0 &&
            format.redMax == 255 && format.greenMax == 255 && format.blueMax == 255) {
            for (int i = 0; i < w; ++i) {
                std::uint32_t value;
                std::memcpy(&value, source + std::size_t(i) * 4, 4);
                target[i] = value | 0xFF000000u;
            }
        } else {
            for (int i = 0; i < w; ++i) {
                std::uint32_t value = 0;
                std::memcpy(&value, source + std::size_t(i) * bpp, bpp);
                target[i] = format.word(value);
            }
        }
    }
}

void quiet(const char*, ...) {}

// libvncclient's name for a recording's pixel encodings: one of Raw, Hextile and ZRLE, with or
// without CopyRect.
const char* libvncEncodingsString(std::set<std::int32_t> encodings) {
    bool copyRect = encodings.erase(rfb::RFBEncoding::copyRect) == 1;
    if (encodings.size() != 1) {
        return nullptr;
    }
    switch (*encodings.begin()) {
        case rfb::RFBEncoding::raw:
            return copyRect ? "raw copyrect" : "raw";
        case rfb::RFBEncoding::hextile:
            return copyRect ? "hextile copyrect" : "hextile";
        case rfb::RFBEncoding::zrle:
            return copyRect ? "zrle copyrect" : "zrle";
        case rfb::RFBEncoding::tight:
            return copyRect ? "tight copyrect" : "tight";
        default:
            return nullptr;
    }
}

// The libvncclient frame buffer holds pixels in the client's format; widened the way Tessaral
// widens them, so that both clients' last frames can be compared word for word.
std::vector<std::uint32_t> libvncFrame(const rfbClient* client, const rfb::PixelFormat& format) {
    std::size_t count = std::size_t(client->width) * std::size_t(client->height);
    std::vector<std::uint32_t> words(count);
    const std::size_t bpp = format.bitsPerPixel / 8;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t value = 0;
        std::memcpy(&value, client->frameBuffer + i * bpp, bpp);  // host order, little-endian
        words[i] = format.word(value);
    }
    return words;
}

Run runLibVNC(ReplayServer& server, const Recording& recording, std::uint32_t index, bool convert) {
    const char* encodingName = libvncEncodingsString(pixelEncodings(recording.encodings));
    if (!encodingName) {
        return failure(
            "libvncclient is only asked for Raw, Hextile, ZRLE or Tight recordings, with CopyRect "
            "or not");
    }
    const rfb::PixelFormat& format = recording.pixelFormat;
    int bytesPerPixel = format.bitsPerPixel / 8;
    rfbClient* client = rfbGetClient(8, 3, bytesPerPixel);
    client->format.bitsPerPixel = format.bitsPerPixel;
    client->format.depth = format.depth;
    client->format.bigEndian = format.bigEndian;
    client->format.trueColour = format.trueColor;
    client->format.redMax = format.redMax;
    client->format.greenMax = format.greenMax;
    client->format.blueMax = format.blueMax;
    client->format.redShift = format.redShift;
    client->format.greenShift = format.greenShift;
    client->format.blueShift = format.blueShift;
    client->appData.encodingsString = encodingName;
    client->appData.useRemoteCursor = FALSE;
    client->canHandleNewFBSize = FALSE;
    client->FinishedFrameBufferUpdate = finishedUpdate;
    LibVNCState state;
    state.wanted = recording.updates;
    if (convert) {
        state.convertFrom = &format;
        state.words.assign(std::size_t(recording.width) * std::size_t(recording.height),
                           0xFF000000u);
        client->GotFrameBufferUpdate = convertRectangle;
    }
    rfbClientSetClientData(client, &stateTag, &state);
    client->serverHost = strdup("127.0.0.1");
    client->serverPort = server.port();
    client->connectTimeout = 10;

    server.serve(index, Protection::clear);
    const double cpuStart = processCPUSeconds();
    int argc = 1;
    char programName[] = "replay-benchmarks";
    char* argv[] = {programName, nullptr};
    if (!rfbInitClient(client, &argc, argv)) {
        // rfbInitClient has already released the client.
        ServeResult served = server.result();
        return failure(served.ok ? "libvncclient failed to start"
                                 : std::string("replay server: ") + served.message);
    }
    auto deadline = Clock::now() + 60s;
    std::optional<std::string> error;
    while (state.updates < state.wanted) {
        if (Clock::now() > deadline) {
            error = "libvncclient did not decode all updates in time";
            break;
        }
        // Data may already sit in libvncclient's own buffer, where select() cannot see it.
        if (client->buffered == 0) {
            int ready = WaitForMessage(client, 100'000);
            if (ready < 0) {
                error = "libvncclient: waiting for the server failed";
                break;
            }
            if (ready == 0) {
                continue;
            }
        }
        if (!HandleRFBServerMessage(client)) {
            error = "libvncclient: the session ended";
            break;
        }
    }
    double cpuEnd = processCPUSeconds();
    ServeResult served = server.result();
    Run run;
    if (!served.ok) {
        run.error = std::string("replay server: ") + served.message;
    } else if (error) {
        run.error = *error;
    } else {
        run.seconds =
            std::chrono::duration<double>(state.end - fromNanoseconds(served.firstByteNanoseconds))
                .count();
        run.cpuSeconds = cpuEnd - cpuStart;
        run.frame = convert ? std::move(state.words) : libvncFrame(client, format);
    }
    std::free(client->frameBuffer);
    client->frameBuffer = nullptr;
    rfbClientCleanup(client);
    return run;
}

// Benchmarks ---------------------------------------------------------------------------------

enum class Peer { tessaral, libvnc, libvncConverting, tessaralTLS, tessaralRSAAES };
// The clients compared with each other; Tessaral encrypted is compared with itself in clear.
constexpr Peer comparedPeers[] = {Peer::tessaral, Peer::libvnc, Peer::libvncConverting};
constexpr Peer allPeers[] = {Peer::tessaral, Peer::libvnc, Peer::libvncConverting,
                             Peer::tessaralTLS, Peer::tessaralRSAAES};

const char* peerName(Peer peer) {
    switch (peer) {
        case Peer::tessaral:
            return "tessaral";
        case Peer::libvnc:
            return "libvncclient";
        case Peer::libvncConverting:
            return "libvncclient+convert";
        case Peer::tessaralTLS:
            return "tessaral+tls";
        case Peer::tessaralRSAAES:
            return "tessaral+rsa-aes";
    }
    return "";
}

// How Tessaral's session travels, for Tessaral's peers.
std::optional<Protection> tessaralProtection(Peer peer) {
    switch (peer) {
        case Peer::tessaral:
            return Protection::clear;
        case Peer::tessaralTLS:
            return Protection::tls;
        case Peer::tessaralRSAAES:
            return Protection::rsaAES;
        case Peer::libvnc:
        case Peer::libvncConverting:
            break;
    }
    return std::nullopt;
}

// A client's figures for one recording over all repetitions; none once any run failed.
struct Samples {
    std::vector<double> seconds;
    std::vector<double> cpuSeconds;
    std::optional<std::string> error;
};

std::vector<Recording> recordings;
std::optional<ReplayServer> replayServer;
std::map<std::pair<std::size_t, Peer>, Samples> samples;
// Every last frame that differed from its reference, repeated under the summary.
std::vector<std::string> mismatches;

// Said at once as well as in the summary, so that it is seen even when a later run hangs.
void reportMismatch(const std::string& message) {
    std::fprintf(stderr, "replay-benchmarks: FRAME MISMATCH: %s\n", message.c_str());
    mismatches.push_back(message);
}

// Tessaral's decoding alone: the recording read from memory by one thread, an image made after
// every update and dropped at the next, as by a viewer that keeps up. What the replay adds to
// this is the transport, the threads and the viewer's waking.
void decodeOnly(benchmark::State& state, std::size_t index) {
    const Recording& recording = recordings[index];
    std::optional<rfb::RFBQuality> quality = qualityFor(recording.pixelFormat);
    if (!quality) {
        state.SkipWithError("Tessaral has no quality with the recording's pixel format");
        return;
    }
    std::optional<rfb::RFBImage> shown;
    for (auto _ : state) {
        std::size_t position = 0;
        rfb::RFBInput input([&](std::span<std::uint8_t> space) {
            std::size_t n = std::min(space.size(), recording.stream.size() - position);
            std::memcpy(space.data(), recording.stream.data() + position, n);
            position += n;
            return n;
        });
        rfb::Framebuffer framebuffer(recording.width, recording.height);
        rfb::RectangleDecoder decoder(rfb::pixelFormat(*quality));
        for (std::uint32_t update = 0; update < recording.updates;) {
            if (input.u8() != 0) {
                state.SkipWithError("the recording holds messages other than updates");
                return;
            }
            rfb::readFramebufferUpdate(input, decoder, framebuffer, {});
            shown = framebuffer.makeImage();
            ++update;
        }
        benchmark::DoNotOptimize(shown);
    }
    // One thread decoding from memory does the same work in every iteration, so the last one
    // stands for all.
    std::vector<std::uint32_t> frame;
    if (shown) {
        frame.assign(shown->words(),
                     shown->words() + std::size_t(shown->width()) * shown->height());
    }
    if (std::optional<std::string> mismatch =
            differenceFromReference(recording, "Tessaral decoding alone", frame)) {
        reportMismatch(*mismatch);
        state.SkipWithError(mismatch->c_str());
        return;
    }
    state.counters["Mpixel_per_s"] = benchmark::Counter(
        double(recording.pixels) * 1e-6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

void replay(benchmark::State& state, std::size_t index, Peer peer) {
    const Recording& recording = recordings[index];
    Samples& collected = samples[{index, peer}];
    if (collected.error) {  // from an earlier repetition
        state.SkipWithError(collected.error->c_str());
        return;
    }
    const char* client = peer == Peer::tessaral ? "Tessaral" : peerName(peer);
    double seconds = 0, cpuSeconds = 0, waitingCPUSeconds = 0;
    for (auto _ : state) {
        const std::optional<Protection> protection = tessaralProtection(peer);
        Run run = protection
                      ? runTessaral(*replayServer, recording, std::uint32_t(index), *protection)
                      : runLibVNC(*replayServer, recording, std::uint32_t(index),
                                  peer == Peer::libvncConverting);
        // Every run, not only the first: a store handed between threads can go wrong in one run
        // and not the next.
        if (!run.error) {
            if (std::optional<std::string> mismatch =
                    differenceFromReference(recording, client, run.frame)) {
                reportMismatch(*mismatch);
                run.error = *mismatch;
            }
        }
        if (run.error) {
            // A wrong frame made fast must show no figures at all, not even earlier runs' ones.
            collected.error = *run.error;
            collected.seconds.clear();
            collected.cpuSeconds.clear();
            seconds = 0;
            state.SkipWithError(run.error->c_str());
            break;
        }
        state.SetIterationTime(run.seconds);
        seconds += run.seconds;
        cpuSeconds += run.cpuSeconds;
        waitingCPUSeconds += run.waitingCPUSeconds;
        collected.seconds.push_back(run.seconds);
        collected.cpuSeconds.push_back(run.cpuSeconds);
    }
    if (seconds > 0) {
        double iterations = double(state.iterations());
        state.counters["updates_per_s"] = double(recording.updates) * iterations / seconds;
        state.counters["Mpixel_per_s"] = double(recording.pixels) * 1e-6 * iterations / seconds;
        state.counters["cpu_ms"] = cpuSeconds * 1e3 / iterations;
        state.counters["cpu_util"] = cpuSeconds / seconds;
        if (peer == Peer::tessaral) {
            state.counters["cpu_waiting_ms"] = waitingCPUSeconds * 1e3 / iterations;
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The goal is measured on medians, which other processes on the machine disturb least.
constexpr double goal = 1.3;

// Returns false when a run failed or a last frame differed from its reference. Recordings that only
// some clients replayed (a --benchmark_filter) show those clients' columns alone.
// Tessaral encrypted against itself in clear: the goal is 0.8 of the throughput.
bool printEncryptedSummary() {
    constexpr double encryptedGoal = 0.8;
    constexpr Peer encrypted[] = {Peer::tessaralTLS, Peer::tessaralRSAAES};
    bool allGood = true;
    std::printf(
        "\nEncrypted (Tessaral: VeNCrypt anonymous TLS, RSA-AES-256; medians)\n"
        "%-18s %-16s %8s %8s | %8s %8s | %6s %6s  %-9s\n",
        "recording", "inside", "upd/s", "cpu ms", "enc upd/s", "enc cpums", "speed", "cpu",
        "goal 0.8x");
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        const auto plain = samples.find({i, Peer::tessaral});
        for (Peer peer : encrypted) {
            const auto secure = samples.find({i, peer});
            if (secure == samples.end()) {
                continue;
            }
            if (secure->second.seconds.empty() || plain == samples.end() ||
                plain->second.seconds.empty()) {
                std::printf("%-18s %-16s  %s\n", recordings[i].name.c_str(), peerName(peer),
                            secure->second.error.value_or("no figures to compare").c_str());
                allGood = allGood && !secure->second.error;
                continue;
            }
            const double updates = recordings[i].updates;
            const double seconds = median(plain->second.seconds),
                         cpu = median(plain->second.cpuSeconds);
            const double secureSeconds = median(secure->second.seconds),
                         secureCPU = median(secure->second.cpuSeconds);
            const double speed = seconds / secureSeconds;
            std::printf("%-18s %-16s %8.0f %8.1f | %8.0f %8.1f | %5.2fx %5.2fx  %-9s\n",
                        recordings[i].name.c_str(), peerName(peer), updates / seconds, cpu * 1e3,
                        updates / secureSeconds, secureCPU * 1e3, speed, secureCPU / cpu,
                        speed >= encryptedGoal ? "met" : "MISSED");
        }
    }
    std::printf(
        "speed = throughput encrypted / throughput in clear; cpu = CPU time encrypted / in "
        "clear\n");
    return allGood;
}

bool printSummary() {
    bool allGood = true;
    std::printf(
        "\nReplay summary (medians over all iterations; CPU = client process CPU time)\n"
        "%-18s %7s %7s | %8s %8s %8s | %8s %8s %8s | %8s %8s %8s | %6s %6s  %-9s | %6s %6s\n",
        "recording", "updates", "Mpixel", "T upd/s", "T Mpx/s", "T cpu ms", "L upd/s", "L Mpx/s",
        "L cpu ms", "LC upd/s", "LC Mpx/s", "LC cpums", "speed", "cpu", "goal 1.3x", "speedC",
        "cpuC");
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        const Recording& r = recordings[i];
        const double mpx = double(r.pixels) * 1e-6;
        std::string row, notes;
        std::optional<double> seconds[3], cpu[3];
        bool any = false;
        for (Peer peer : comparedPeers) {
            int side = int(peer);
            auto entry = samples.find({i, peer});
            char cells[64];
            if (entry == samples.end() || entry->second.seconds.empty()) {
                std::snprintf(cells, sizeof cells, " | %8s %8s %8s", "-", "-", "-");
                if (entry != samples.end() && entry->second.error) {
                    notes += std::string("  ") +
                             (peer == Peer::tessaral ? "Tessaral" : peerName(peer)) + ": " +
                             *entry->second.error;
                    allGood = false;
                }
            } else {
                any = true;
                seconds[side] = median(entry->second.seconds);
                cpu[side] = median(entry->second.cpuSeconds);
                std::snprintf(cells, sizeof cells, " | %8.0f %8.1f %8.1f",
                              r.updates / *seconds[side], mpx / *seconds[side], *cpu[side] * 1e3);
            }
            row += cells;
        }
        if (!any && notes.empty()) {
            continue;
        }
        char ratios[96];
        if (seconds[0] && seconds[1]) {
            double speed = *seconds[1] / *seconds[0];
            const char* verdict = speed >= goal ? "met" : speed >= 1 ? "MISSED" : "SLOWER";
            std::snprintf(ratios, sizeof ratios, " | %5.2fx %5.2fx  %-9s", speed, *cpu[1] / *cpu[0],
                          verdict);
        } else {
            std::snprintf(ratios, sizeof ratios, " | %6s %6s  %-9s", "-", "-", "-");
        }
        char converting[64];
        if (seconds[0] && seconds[2]) {
            std::snprintf(converting, sizeof converting, " | %5.2fx %5.2fx",
                          *seconds[2] / *seconds[0], *cpu[2] / *cpu[0]);
        } else {
            std::snprintf(converting, sizeof converting, " | %6s %6s", "-", "-");
        }
        std::printf("%-18s %7u %7.1f%s%s%s%s\n", r.name.c_str(), r.updates, mpx, row.c_str(),
                    ratios, converting, notes.c_str());
    }
    std::printf(
        "T = Tessaral, L = libvncclient decoding alone, LC = libvncclient plus widening each "
        "updated rectangle to 0xFFRRGGBB words, as a viewer built on it must; speed = Tessaral's "
        "throughput / libvncclient's (wall time from the first update byte sent to the last "
        "update decoded); cpu = libvncclient's CPU time / Tessaral's; speedC and cpuC the same "
        "against LC\n");
    if (!mismatches.empty()) {
        std::printf("\nFAILED: %zu last frames differ from their recording's reference decode\n",
                    mismatches.size());
        for (const std::string& mismatch : mismatches) {
            std::printf("  %s\n", mismatch.c_str());
        }
        allGood = false;
    }
    return printEncryptedSummary() && allGood;
}

// For replaying to whole viewers (benchmarks/viewers): each recording's last frame as libvncclient
// decodes it, once it equals the plain decode, as a binary PPM, and where each update ends in the
// stream, one offset a line. Two decoders written apart agreeing is what makes the picture a
// reference for a third.
bool writeReferences(const std::filesystem::path& directory) {
    std::filesystem::create_directories(directory);
    bool allGood = true;
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        const Recording& r = recordings[i];
        Run run = runLibVNC(*replayServer, r, std::uint32_t(i), false);
        std::optional<std::string> problem = run.error;
        if (!problem) {
            problem = differenceFromReference(r, "libvncclient", run.frame);
        }
        if (problem) {
            std::fprintf(stderr, "replay-benchmarks: %s: no reference: %s\n", r.name.c_str(),
                         problem->c_str());
            allGood = false;
            continue;
        }
        std::FILE* picture = std::fopen((directory / (r.name + ".ppm")).c_str(), "wb");
        std::FILE* ends = std::fopen((directory / (r.name + ".updates")).c_str(), "w");
        if (!picture || !ends) {
            std::fprintf(stderr, "replay-benchmarks: cannot write into %s\n", directory.c_str());
            return false;
        }
        std::fprintf(picture, "P6\n%d %d\n255\n", r.width, r.height);
        std::vector<std::uint8_t> rgb;
        rgb.reserve(run.frame.size() * 3);
        for (std::uint32_t word : run.frame) {
            rgb.push_back(std::uint8_t(word >> 16));
            rgb.push_back(std::uint8_t(word >> 8));
            rgb.push_back(std::uint8_t(word));
        }
        std::fwrite(rgb.data(), 1, rgb.size(), picture);
        for (std::size_t end : r.updateEnds) {
            std::fprintf(ends, "%zu\n", end);
        }
        bool written = std::fclose(picture) == 0;
        written = std::fclose(ends) == 0 && written;
        if (!written) {
            std::fprintf(stderr, "replay-benchmarks: cannot write into %s\n", directory.c_str());
            return false;
        }
        std::printf("%s: reference written\n", r.name.c_str());
    }
    return allGood;
}

std::optional<std::string> option(std::vector<char*>& arguments, std::string_view name) {
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        std::string_view argument = *it;
        if (argument.size() > name.size() && argument.substr(0, name.size()) == name &&
            argument[name.size()] == '=') {
            std::string value(argument.substr(name.size() + 1));
            arguments.erase(it);
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> arguments(argv, argv + argc);
    std::filesystem::path directory =
        option(arguments, "--recordings").value_or(TESSARAL_RECORDINGS_DIR);
    int iterations = std::atoi(option(arguments, "--iterations").value_or("5").c_str());
    std::optional<std::string> referencesDirectory = option(arguments, "--write-references");
    // Repetitions interleaved at random spread other processes' load over both clients alike.
    std::vector<std::string> defaults = {"--benchmark_repetitions=3",
                                         "--benchmark_enable_random_interleaving=true",
                                         "--benchmark_report_aggregates_only=true"};
    for (std::string& flag : defaults) {
        std::string_view prefix(flag.data(), flag.find('='));
        bool given = std::any_of(arguments.begin() + 1, arguments.end(), [&](char* argument) {
            return std::string_view(argument).substr(0, prefix.size()) == prefix;
        });
        if (!given) {
            arguments.push_back(flag.data());
        }
    }

    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(directory)) {
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            if (entry.path().string().ends_with(".rfbrec.gz")) {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    // Inflating every recording takes seconds; a filter that leaves some out saves that.
    for (char* argument : arguments) {
        constexpr std::string_view flag = "--benchmark_filter=";
        std::string_view text = argument;
        if (text.substr(0, flag.size()) != flag) {
            continue;
        }
        text.remove_prefix(flag.size());
        bool negated = text.starts_with("-");
        std::regex filter(std::string(text.substr(negated ? 1 : 0)));
        std::erase_if(files, [&](const std::filesystem::path& file) {
            std::string name = "Replay/" + file.filename().string();
            name.erase(name.find('.'));
            std::string decodeName = "Decode/" + file.filename().string();
            decodeName.erase(decodeName.find('.'));
            bool matches = std::regex_search(decodeName, filter);
            for (Peer peer : allPeers) {
                matches = matches || std::regex_search(name + "/" + peerName(peer), filter);
            }
            return matches == negated;
        });
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay-benchmarks: no recordings in %s\n", directory.c_str());
        return 1;
    }
    for (const auto& file : files) {
        try {
            recordings.push_back(loadRecording(file));
        } catch (const std::exception& error) {
            std::fprintf(stderr, "replay-benchmarks: %s: %s\n", file.c_str(), error.what());
            return 1;
        }
    }

    rfb::setLogSink([](rfb::LogLevel, std::string_view) {});
    rfbClientLog = quiet;
    rfbClientErr = quiet;
    ::signal(SIGPIPE, SIG_IGN);
    replayServer.emplace(recordings);
    if (referencesDirectory) {
        bool written = writeReferences(*referencesDirectory);
        replayServer.reset();
        return written ? 0 : 1;
    }

    for (std::size_t i = 0; i < recordings.size(); ++i) {
        for (Peer peer : allPeers) {
            std::string name = "Replay/" + recordings[i].name + "/" + peerName(peer);
            benchmark::RegisterBenchmark(name.c_str(), replay, i, peer)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond)
                ->Iterations(iterations);
        }
    }
    for (std::size_t i = 0; i < recordings.size(); ++i) {
        benchmark::RegisterBenchmark(("Decode/" + recordings[i].name).c_str(), decodeOnly, i)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(iterations);
    }
    int count = int(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bool good = printSummary();
    replayServer.reset();
    return good ? 0 : 1;
}
