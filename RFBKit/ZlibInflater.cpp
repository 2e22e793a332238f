#include "ZlibInflater.hpp"

#include <isa-l/igzip_lib.h>

#include <algorithm>
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

ZlibInflater::ZlibInflater() : stream_(std::make_unique<inflate_state>()) {
    isal_inflate_init(stream_.get());
    // The zlib header is checked. The running Adler-32 is kept (ISA-L's SIMD code makes it
    // cheap) but never compared: a ZRLE stream lasts as long as the connection.
    stream_->crc_flag = ISAL_ZLIB;
}

ZlibInflater::~ZlibInflater() = default;

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
    inflate_state& stream = *stream_;
    // Input is counted in 32-bit units; larger inputs are handed over in pieces.
    if (stream.avail_in == 0 && remaining_ > 0) {
        auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(remaining_, UINT32_MAX));
        stream.next_in = const_cast<std::uint8_t*>(next_);
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
    stream.avail_out = static_cast<std::uint32_t>(stepSize);
    int code = isal_inflate(&stream);
    if (code != ISAL_DECOMP_OK && code != ISAL_END_INPUT && code != ISAL_OUT_OVERFLOW) {
        throw RFBError::protocolViolation("corrupt zlib data (" + std::to_string(code) + ")");
    }
    std::size_t produced = stepSize - stream.avail_out;
    size_ += produced;
    produced_ += produced;
    if (produced_ > limit_) {
        throw RFBError::protocolViolation("decompressed data too large");
    }
    bool filled = stream.avail_out == 0;
    bool inputLeft = stream.avail_in > 0 || remaining_ > 0;
    exhausted_ =
        stream.block_state == ISAL_BLOCK_FINISH || (!filled && (!inputLeft || produced == 0));
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
