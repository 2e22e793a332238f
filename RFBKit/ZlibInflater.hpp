#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct inflate_state;

namespace rfb {

// One zlib inflate stream that lives for the whole connection: every ZRLE rectangle continues
// the same stream and dictionary. Inflated with ISA-L, whose decoder is several times faster than
// zlib's on the same stream, and inflating is most of the work of a ZRLE rectangle. A rectangle's
// output is produced in 65536-byte steps as the reader asks for it, so it is consumed while still
// in cache and never held whole.
class ZlibInflater {
  public:
    ZlibInflater();
    ~ZlibInflater();
    ZlibInflater(const ZlibInflater&) = delete;
    ZlibInflater& operator=(const ZlibInflater&) = delete;

    // Attaches one block of compressed input (which must stay valid until end()). Everything it
    // inflates to, read or not, counts against `limit`: beyond it, fill() and end() throw
    // protocolViolation("decompressed data too large").
    void begin(std::span<const std::uint8_t> input, std::size_t limit);
    // Inflates until at least `count` unread bytes are held or the input can give no more, and
    // returns the unread bytes, valid until the next fill(). Throws protocolViolation("corrupt
    // zlib data (N)") for a corrupt stream.
    std::span<const std::uint8_t> fill(std::size_t count);
    void consume(std::size_t count) { read_ += count; }
    // True once the attached input can produce nothing more.
    bool exhausted() const { return exhausted_; }
    // Inflates and drops whatever the input still holds, so that the stream stays in step with
    // the server's, and detaches the input.
    void end();

    // Bytes reserved for output (for memory accounting in tests).
    std::size_t capacity() const { return capacity_; }

  private:
    void step();
    void detach();

    std::unique_ptr<inflate_state> stream_;
    // Owned rather than a std::vector so that growing it does not zero-fill what zlib overwrites.
    std::unique_ptr<std::uint8_t[]> output_;
    std::size_t capacity_ = 0;
    std::size_t read_ = 0;  // start of the unread output
    std::size_t size_ = 0;  // end of the output
    std::size_t produced_ = 0;
    std::size_t limit_ = 0;
    const std::uint8_t* next_ = nullptr;  // input not yet handed to zlib
    std::size_t remaining_ = 0;
    bool exhausted_ = true;
};

}  // namespace rfb
