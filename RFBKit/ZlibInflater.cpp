#include "ZlibInflater.hpp"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "RFBError.hpp"

namespace rfb {

namespace {

constexpr std::size_t stepSize = 65536;
// A buffer grown beyond this (only a malformed rectangle makes it) is released at the next
// rectangle rather than kept for the rest of the session.
constexpr std::size_t retainedCapacity = 1024 * 1024;

}  // namespace

ZlibInflater::ZlibInflater() : stream_(std::make_unique<z_stream>()) {
    if (inflateInit_(stream_.get(), zlibVersion(), int(sizeof(z_stream))) != Z_OK) {
        throw RFBError::protocolViolation("zlib initialisation failed");
    }
    // A ZRLE stream lasts as long as the connection and never reaches the trailer that the
    // running Adler-32 checksum would be compared with, so computing it is wasted work.
    inflateValidate(stream_.get(), 0);
}

ZlibInflater::~ZlibInflater() {
    inflateEnd(stream_.get());
}

void ZlibInflater::begin(std::span<const std::uint8_t> input, std::size_t limit) {
    if (capacity_ > retainedCapacity) {
        output_.reset();
        capacity_ = 0;
    }
    read_ = size_ = produced_ = 0;
    limit_ = limit;
    next_ = input.data();
    remaining_ = input.size();
    stream_->avail_in = 0;
    exhausted_ = false;
}

// One inflate call into the next 65536 bytes of the buffer.
void ZlibInflater::step() {
    z_stream& stream = *stream_;
    // zlib counts input in 32-bit units; larger inputs are handed over in pieces.
    if (stream.avail_in == 0 && remaining_ > 0) {
        auto piece = static_cast<uInt>(std::min<std::size_t>(remaining_, UINT_MAX));
        stream.next_in = const_cast<Bytef*>(next_);
        stream.avail_in = piece;
        next_ += piece;
        remaining_ -= piece;
    }
    if (capacity_ < size_ + stepSize) {
        // Geometric growth keeps the rare large request cheap; the limit caps it.
        std::size_t grown = std::max(size_ + stepSize, 2 * capacity_);
        grown = std::min(grown, std::max(size_, limit_) + stepSize);
        auto replacement = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
        if (size_ > read_) {
            std::memcpy(replacement.get() + read_, output_.get() + read_, size_ - read_);
        }
        output_ = std::move(replacement);
        capacity_ = grown;
    }
    stream.next_out = output_.get() + size_;
    stream.avail_out = static_cast<uInt>(stepSize);
    int code = ::inflate(&stream, Z_SYNC_FLUSH);
    if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
        throw RFBError::protocolViolation("zlib error " + std::to_string(code));
    }
    std::size_t produced = stepSize - stream.avail_out;
    size_ += produced;
    produced_ += produced;
    if (produced_ > limit_) {
        throw RFBError::protocolViolation("decompressed data too large");
    }
    bool filled = stream.avail_out == 0;
    bool inputLeft = stream.avail_in > 0 || remaining_ > 0;
    exhausted_ = code == Z_STREAM_END || (!filled && (!inputLeft || produced == 0));
}

std::span<const std::uint8_t> ZlibInflater::fill(std::size_t count) {
    if (size_ - read_ < count && !exhausted_) {
        // Moves the unread tail to the front so that the buffer stays one step plus one request.
        std::size_t unread = size_ - read_;
        if (read_ > 0) {
            std::memmove(output_.get(), output_.get() + read_, unread);
        }
        read_ = 0;
        size_ = unread;
        while (size_ < count && !exhausted_) {
            step();
        }
    }
    return {output_.get() + read_, size_ - read_};
}

void ZlibInflater::end() {
    while (!exhausted_) {
        read_ = size_ = 0;
        step();
    }
    detach();
    read_ = size_ = 0;
}

void ZlibInflater::detach() {
    stream_->next_in = nullptr;
    stream_->avail_in = 0;
    next_ = nullptr;
    remaining_ = 0;
}

}  // namespace rfb
