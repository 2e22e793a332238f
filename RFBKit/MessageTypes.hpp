#pragma once

#include <cstddef>
#include <cstdint>

namespace rfb {

// The numbers the protocol gives its security types and messages (the encodings are in
// RFBEncoding).

namespace RFBSecurityType {
inline constexpr std::uint8_t none = 1;
inline constexpr std::uint8_t vncAuthentication = 2;
// RSA-AES: the whole session encrypted (RA2, RA2_256), or only the credentials (RA2ne, RA2ne_256).
inline constexpr std::uint8_t rsaAES = 5;
inline constexpr std::uint8_t rsaAESCredentialsOnly = 6;
inline constexpr std::uint8_t rsaAES256 = 129;
inline constexpr std::uint8_t rsaAES256CredentialsOnly = 130;
inline constexpr std::uint8_t tls = 18;
inline constexpr std::uint8_t veNCrypt = 19;
inline constexpr std::uint8_t appleRemoteDesktop = 30;
}  // namespace RFBSecurityType

namespace VeNCryptSubtype {
inline constexpr std::uint32_t plain = 256;
inline constexpr std::uint32_t tlsNone = 257;
inline constexpr std::uint32_t tlsVnc = 258;
inline constexpr std::uint32_t tlsPlain = 259;
inline constexpr std::uint32_t x509None = 260;
inline constexpr std::uint32_t x509Vnc = 261;
inline constexpr std::uint32_t x509Plain = 262;
}  // namespace VeNCryptSubtype

namespace ServerMessageType {
inline constexpr std::uint8_t framebufferUpdate = 0;
inline constexpr std::uint8_t setColourMapEntries = 1;
inline constexpr std::uint8_t bell = 2;
inline constexpr std::uint8_t serverCutText = 3;
inline constexpr std::uint8_t endOfContinuousUpdates = 150;
inline constexpr std::uint8_t fence = 248;
}  // namespace ServerMessageType

namespace ClientMessageType {
inline constexpr std::uint8_t setPixelFormat = 0;
inline constexpr std::uint8_t setEncodings = 2;
inline constexpr std::uint8_t framebufferUpdateRequest = 3;
inline constexpr std::uint8_t keyEvent = 4;
inline constexpr std::uint8_t pointerEvent = 5;
inline constexpr std::uint8_t clientCutText = 6;
inline constexpr std::uint8_t enableContinuousUpdates = 150;
inline constexpr std::uint8_t fence = 248;
inline constexpr std::uint8_t setDesktopSize = 251;
inline constexpr std::uint8_t qemu = 255;  // its first byte after the type picks the message
}  // namespace ClientMessageType

namespace FenceFlag {
inline constexpr std::uint32_t blockBefore = 1;
inline constexpr std::uint32_t blockAfter = 2;
inline constexpr std::uint32_t syncNext = 4;
inline constexpr std::uint32_t request = 0x8000'0000;
}  // namespace FenceFlag
inline constexpr std::size_t maxFencePayload = 64;  // namespace ClientMessageType

}  // namespace rfb
