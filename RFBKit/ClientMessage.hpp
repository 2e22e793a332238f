#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "PixelFormat.hpp"
#include "RFBConfiguration.hpp"

namespace rfb {

// Builders of every client-to-server message after the handshake; each returns the whole
// message so that it goes to the connection in one piece.
namespace ClientMessage {
using Bytes = std::vector<std::uint8_t>;

// Clamps to 0...65535.
Bytes be16(long value);
Bytes be32(std::uint32_t value);
Bytes setPixelFormat(const PixelFormat& format);
Bytes setEncodings(const std::vector<std::int32_t>& encodings);
Bytes framebufferUpdateRequest(bool incremental, long x, long y, long width, long height);
Bytes enableContinuousUpdates(bool enable, long x, long y, long width, long height);
// At most 64 bytes of `payload` go out.
Bytes fence(std::uint32_t flags, std::span<const std::uint8_t> payload);
Bytes keyEvent(std::uint32_t key, bool down);
// QEMU's extended key event: the keysym and the physical key's XT scan code.
Bytes qemuKeyEvent(std::uint32_t key, bool down, std::uint32_t xtCode);
Bytes pointerEvent(std::uint8_t buttons, long x, long y);
// Asks for a desktop of that size made of `screens`.
Bytes setDesktopSize(long width, long height, const std::vector<RFBScreen>& screens);
// The text goes out as ISO 8859-1; characters outside it become "?".
Bytes clientCutText(std::string_view utf8);
}  // namespace ClientMessage

}  // namespace rfb
