#include "ExtendedClipboard.hpp"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <bit>
#include <memory>
#include <stdexcept>

#include "ClientMessage.hpp"
#include "DecoderInput.hpp"
#include "Log.hpp"
#include "MessageTypes.hpp"
#include "RFBError.hpp"
#include "Text.hpp"
#include "ZlibInflater.hpp"

namespace rfb {

namespace {

using decoding::be32;
using Flag = std::uint32_t;
namespace F = ExtendedClipboardFlag;

void append32(ExtendedClipboard::Bytes& out, std::uint32_t value) {
    const ClientMessage::Bytes bytes = ClientMessage::be32(value);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// The wire's form of a text: CRLF line ends (CR LF kept as it is) and a closing NUL.
std::string wireText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + utf8.size() / 16 + 1);
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r')) {
            out += '\r';
        }
        out += utf8[i];
    }
    out += '\0';
    return out;
}

std::string localText(std::span<const std::uint8_t> wire) {
    std::string out;
    out.reserve(wire.size());
    for (std::size_t i = 0; i < wire.size() && wire[i] != 0; ++i) {
        if (!(wire[i] == '\r' && i + 1 < wire.size() && wire[i + 1] == '\n')) {
            out += static_cast<char>(wire[i]);
        }
    }
    return utf8WithReplacement({reinterpret_cast<const std::uint8_t*>(out.data()), out.size()});
}

// One message's own zlib stream, ended by a sync flush rather than a final block: some servers
// fail on the checksum and end of stream that follow a final block.
ExtendedClipboard::Bytes deflated(std::span<const std::uint8_t> data) {
    auto stream = std::make_unique<isal_zstream>();
    isal_deflate_init(stream.get());
    stream->gzip_flag = IGZIP_ZLIB;
    stream->flush = SYNC_FLUSH;
    stream->next_in = const_cast<std::uint8_t*>(data.data());
    stream->avail_in = static_cast<std::uint32_t>(data.size());
    // Enough for incompressible data, whose literals take up to nine bits each.
    ExtendedClipboard::Bytes out(data.size() + data.size() / 7 + 1024);
    stream->next_out = out.data();
    stream->avail_out = static_cast<std::uint32_t>(out.size());
    if (isal_deflate(stream.get()) != COMP_OK || stream->avail_in != 0 || stream->avail_out == 0) {
        throw std::runtime_error("clipboard compression failed");
    }
    out.resize(stream->total_out);
    return out;
}

// At least the size of the wire form (a CR already before a LF is counted again).
std::size_t wireSize(std::string_view utf8) {
    return utf8.size() + std::size_t(std::count(utf8.begin(), utf8.end(), '\n')) + 1;
}

// The text of a provide message; the formats after it are never inflated.
std::string providedText(std::span<const std::uint8_t> compressed) {
    constexpr std::size_t most = ExtendedClipboard::textLimit + 1;  // the closing NUL
    ZlibInflater inflater;
    inflater.begin(compressed, 4 + most);
    std::span<const std::uint8_t> held = inflater.fill(4);
    if (held.size() < 4) {
        throw RFBError::protocolViolation("clipboard data truncated");
    }
    const std::uint32_t size = be32(held.data());
    if (size > most) {
        throw RFBError::protocolViolation("clipboard length " + std::to_string(size));
    }
    inflater.consume(4);
    held = inflater.fill(size);
    if (held.size() < size) {
        throw RFBError::protocolViolation("clipboard data truncated");
    }
    return localText(held.first(size));
}

}  // namespace

ExtendedClipboard::Bytes ExtendedClipboard::message(Flag flags,
                                                    std::span<const std::uint8_t> payload) {
    Bytes out{ClientMessageType::clientCutText, 0, 0, 0};
    // The length's sign marks the extended form.
    append32(out, 0u - static_cast<std::uint32_t>(4 + payload.size()));
    append32(out, flags);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

ExtendedClipboard::Bytes ExtendedClipboard::provide(std::string_view utf8) {
    const std::string wire = wireText(utf8);
    Bytes plain;
    plain.reserve(4 + wire.size());
    append32(plain, static_cast<std::uint32_t>(wire.size()));
    plain.insert(plain.end(), wire.begin(), wire.end());
    return message(F::provide | F::text, deflated(plain));
}

ExtendedClipboard::Bytes ExtendedClipboard::offer(std::string_view utf8) {
    std::lock_guard guard(lock_);
    local_ = std::string(utf8);
    if (!active_ || !(serverFlags_ & F::text)) {
        return ClientMessage::clientCutText(utf8);
    }
    if (serverFlags_ & F::notify) {
        return message(F::notify | F::text);
    }
    // Unasked, only as much as the server said it takes that way.
    return wireSize(utf8) <= serverUnsolicitedLimit_ ? provideLocal() : Bytes{};
}

// A provide without any format would be an empty stream, on which some servers fail; a request
// that cannot be answered is left unanswered instead.
ExtendedClipboard::Bytes ExtendedClipboard::provideLocal() {
    if (!local_ || wireSize(*local_) > textLimit + 1) {
        return {};
    }
    return provide(*local_);
}

ExtendedClipboard::Outcome ExtendedClipboard::receive(std::span<const std::uint8_t> payload) {
    if (payload.size() < 4) {
        throw RFBError::protocolViolation("clipboard message too short");
    }
    const Flag flags = be32(payload.data());
    const auto rest = payload.subspan(4);
    std::lock_guard guard(lock_);
    if (flags & F::caps) {
        const int sizes = std::popcount(flags & F::formats);
        if (rest.size() < std::size_t(sizes) * 4) {
            throw RFBError::protocolViolation("clipboard capabilities truncated");
        }
        active_ = true;
        serverFlags_ = flags;
        serverUnsolicitedLimit_ = flags & F::text ? be32(rest.data()) : 0;
        Bytes reply = message(F::caps | F::request | F::peek | F::notify | F::provide | F::text,
                              ClientMessage::be32(textLimit));
        // A text offered before the server announced itself went out as Latin-1.
        if (local_ && (flags & F::text) && (flags & F::notify)) {
            const Bytes notice = message(F::notify | F::text);
            reply.insert(reply.end(), notice.begin(), notice.end());
        }
        return {std::move(reply), std::nullopt};
    }
    if (flags & F::request) {
        return {flags & F::text ? provideLocal() : Bytes{}, std::nullopt};
    }
    if (flags & F::peek) {
        return {message(F::notify | (local_ ? F::text : 0)), std::nullopt};
    }
    if (flags & F::notify) {
        const bool wanted = (flags & F::text) && (serverFlags_ & F::request);
        return {wanted ? message(F::request | F::text) : Bytes{}, std::nullopt};
    }
    if ((flags & F::provide) && (flags & F::text)) {
        return {{}, providedText(rest)};
    }
    return {};
}

}  // namespace rfb
