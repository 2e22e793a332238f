#include "ClientMessage.hpp"

#include <algorithm>

#include "MessageTypes.hpp"
#include "Text.hpp"

namespace rfb::ClientMessage {

namespace {

void put16(Bytes& out, long value) {
    auto v = static_cast<std::uint16_t>(std::clamp(value, 0L, 65535L));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

// A message of a type, a flag byte and an area of the screen.
Bytes flaggedArea(std::uint8_t type, bool flag, long x, long y, long width, long height) {
    Bytes out{type, std::uint8_t{flag}};
    put16(out, x);
    put16(out, y);
    put16(out, width);
    put16(out, height);
    return out;
}

}  // namespace

Bytes be16(long value) {
    Bytes out;
    put16(out, value);
    return out;
}

Bytes be32(std::uint32_t value) {
    Bytes out;
    put32(out, value);
    return out;
}

Bytes setPixelFormat(const PixelFormat& format) {
    Bytes out{ClientMessageType::setPixelFormat, 0, 0, 0};
    auto encoded = format.encoded();
    out.insert(out.end(), encoded.begin(), encoded.end());
    return out;
}

Bytes setEncodings(const std::vector<std::int32_t>& encodings) {
    Bytes out{ClientMessageType::setEncodings, 0};
    put16(out, static_cast<long>(encodings.size()));
    for (std::int32_t encoding : encodings) {
        put32(out, static_cast<std::uint32_t>(encoding));
    }
    return out;
}

Bytes framebufferUpdateRequest(bool incremental, long x, long y, long width, long height) {
    return flaggedArea(ClientMessageType::framebufferUpdateRequest, incremental, x, y, width,
                       height);
}

Bytes enableContinuousUpdates(bool enable, long x, long y, long width, long height) {
    return flaggedArea(ClientMessageType::enableContinuousUpdates, enable, x, y, width, height);
}

Bytes fence(std::uint32_t flags, std::span<const std::uint8_t> payload) {
    payload = payload.first(std::min<std::size_t>(payload.size(), maxFencePayload));
    Bytes out{ClientMessageType::fence, 0, 0, 0};
    put32(out, flags);
    out.push_back(static_cast<std::uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes keyEvent(std::uint32_t key, bool down) {
    Bytes out{ClientMessageType::keyEvent, std::uint8_t{down}, 0, 0};
    put32(out, key);
    return out;
}

Bytes qemuKeyEvent(std::uint32_t key, bool down, std::uint32_t xtCode) {
    Bytes out{ClientMessageType::qemu, 0, 0, std::uint8_t{down}};
    put32(out, key);
    put32(out, xtCode);
    return out;
}

Bytes pointerEvent(std::uint8_t buttons, long x, long y) {
    Bytes out{ClientMessageType::pointerEvent, buttons};
    put16(out, x);
    put16(out, y);
    return out;
}

Bytes setDesktopSize(long width, long height, const std::vector<RFBScreen>& screens) {
    Bytes out{ClientMessageType::setDesktopSize, 0};
    put16(out, width);
    put16(out, height);
    out.push_back(static_cast<std::uint8_t>(std::min<std::size_t>(screens.size(), 255)));
    out.push_back(0);
    for (std::size_t i = 0; i < screens.size() && i < 255; ++i) {
        put32(out, screens[i].id);
        for (int value : {screens[i].x, screens[i].y, screens[i].width, screens[i].height}) {
            put16(out, value);
        }
        put32(out, screens[i].flags);
    }
    return out;
}

Bytes clientCutText(std::string_view utf8) {
    std::string latin1 = utf8ToLatin1(utf8);
    Bytes out{ClientMessageType::clientCutText, 0, 0, 0};
    out.reserve(8 + latin1.size());
    put32(out, static_cast<std::uint32_t>(latin1.size()));
    out.insert(out.end(), latin1.begin(), latin1.end());
    return out;
}

}  // namespace rfb::ClientMessage
