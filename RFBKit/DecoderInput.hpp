#pragma once

#include <cstddef>
#include <cstdint>

#include "RFBInput.hpp"

// Reading the wire inside the decoders' hot loops.
namespace rfb::decoding {

// The availability check inlined; the out-of-line ensure() runs only when a refill is due.
inline const std::uint8_t* need(RFBInput& input, std::size_t count) {
    if (input.available() < count) {
        input.ensure(count);
    }
    return input.data();
}

inline int be16(const std::uint8_t* p) {
    return p[0] << 8 | p[1];
}

inline std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

}  // namespace rfb::decoding
