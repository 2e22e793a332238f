#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rfb {

// The extended clipboard, announced as a pseudo-encoding and carried in cut-text messages whose
// length is negative: UTF-8 text, compressed, offered by notify and fetched by request.
namespace ExtendedClipboardFlag {
inline constexpr std::uint32_t text = 1u << 0;
inline constexpr std::uint32_t formats = 0xFFFF;
inline constexpr std::uint32_t caps = 1u << 24;
inline constexpr std::uint32_t request = 1u << 25;
inline constexpr std::uint32_t peek = 1u << 26;
inline constexpr std::uint32_t notify = 1u << 27;
inline constexpr std::uint32_t provide = 1u << 28;
}  // namespace ExtendedClipboardFlag

// One connection's clipboard: what the server said it can take, and the local text kept for
// when it asks. offer() may be called from any thread, receive() from the reading one.
class ExtendedClipboard {
  public:
    using Bytes = std::vector<std::uint8_t>;

    // The most text either side takes. The server's announced sizes bound only what it is sent
    // without asking (TigerVNC announces none, and asks).
    static constexpr std::size_t textLimit = 10'485'760;

    // What to send for a new local text: a notify or the text itself once the server announced
    // the extension, a Latin-1 cut text before that.
    Bytes offer(std::string_view utf8);

    struct Outcome {
        Bytes reply;                      // empty when nothing is to be sent
        std::optional<std::string> text;  // the server's text, UTF-8 with LF line ends
    };
    // One extended message's payload (flags onward). Unknown flags and formats are ignored;
    // sizes beyond the limits and corrupt compressed data throw protocolViolation.
    Outcome receive(std::span<const std::uint8_t> payload);

    // A message with the given flags and payload after them.
    static Bytes message(std::uint32_t flags, std::span<const std::uint8_t> payload = {});
    // Text as provided: CRLF line ends and a closing NUL, compressed.
    static Bytes provide(std::string_view utf8);

  private:
    Bytes provideLocal();

    std::mutex lock_;
    bool active_ = false;
    std::uint32_t serverFlags_ = 0;
    // What the server takes as text without asking for it.
    std::size_t serverUnsolicitedLimit_ = 0;
    std::optional<std::string> local_;
};

}  // namespace rfb
