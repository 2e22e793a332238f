#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

// X11 key symbols (keysyms) as RFB KeyEvents carry them, and the rules that turn host key events
// into them. Key codes use the macOS virtual key-code numbering; the application's input adapter
// translates its own key events into that numbering first.
namespace rfb::KeySymbol {

inline constexpr std::uint32_t backspace = 0xFF08;
inline constexpr std::uint32_t tab = 0xFF09;
inline constexpr std::uint32_t returnKey = 0xFF0D;
inline constexpr std::uint32_t escape = 0xFF1B;
inline constexpr std::uint32_t home = 0xFF50;
inline constexpr std::uint32_t left = 0xFF51;
inline constexpr std::uint32_t up = 0xFF52;
inline constexpr std::uint32_t right = 0xFF53;
inline constexpr std::uint32_t down = 0xFF54;
inline constexpr std::uint32_t pageUp = 0xFF55;
inline constexpr std::uint32_t pageDown = 0xFF56;
inline constexpr std::uint32_t end = 0xFF57;
inline constexpr std::uint32_t insert = 0xFF63;
inline constexpr std::uint32_t keypadEnter = 0xFF8D;
inline constexpr std::uint32_t deleteKey = 0xFFFF;
inline constexpr std::uint32_t shiftLeft = 0xFFE1;
inline constexpr std::uint32_t shiftRight = 0xFFE2;
inline constexpr std::uint32_t controlLeft = 0xFFE3;
inline constexpr std::uint32_t controlRight = 0xFFE4;
inline constexpr std::uint32_t capsLock = 0xFFE5;
inline constexpr std::uint32_t metaLeft = 0xFFE7;
inline constexpr std::uint32_t metaRight = 0xFFE8;
inline constexpr std::uint32_t altLeft = 0xFFE9;
inline constexpr std::uint32_t altRight = 0xFFEA;
inline constexpr std::uint32_t superLeft = 0xFFEB;
inline constexpr std::uint32_t superRight = 0xFFEC;
inline constexpr std::uint32_t space = 0x20;

// Which keysyms the host's Command key sends. Stored by raw value (the case name).
enum class CommandMapping { automatic, meta, superKey, control };

// In picker order.
inline constexpr std::array<CommandMapping, 4> allCommandMappings = {
    CommandMapping::automatic, CommandMapping::meta, CommandMapping::superKey,
    CommandMapping::control};

std::string_view rawValue(CommandMapping mapping);
// The same text as the raw value.
std::string_view id(CommandMapping mapping);
// What pickers show (UTF-8).
std::string_view title(CommandMapping mapping);
// Exact, case-sensitive match of a raw value; none for anything else, so that a corrupt stored
// value is noticed rather than silently becoming a default.
std::optional<CommandMapping> commandMappingFromRawValue(std::string_view raw);

// The keysym of function key Fn, with n clamped to 1...35.
std::uint32_t functionKey(int n);

// The keysym of a non-modifier key event. `characters` is the event's text ignoring modifiers, in
// UTF-8; pass an empty string when the event has none. Keys with a fixed meaning (Return, arrows,
// function keys, ...) are looked up by key code alone; any other key is typed by the first Unicode
// scalar of `characters`. Invalid UTF-8 gives none.
std::optional<std::uint32_t> forKey(std::uint16_t keyCode, std::string_view characters);

// The keysym that types one Unicode scalar; none for controls without a key of their own, for the
// host's private-use function-key range U+F700...U+F8FF, and for values that are not scalars
// (surrogates, above U+10FFFF).
std::optional<std::uint32_t> forCharacter(char32_t scalar);

// The keysym of a modifier key, or none when the key code is not a known modifier (the Fn key,
// for one). `serverIsApple` only matters for CommandMapping::automatic; pass false while the
// server is not yet known.
std::optional<std::uint32_t> modifier(std::uint16_t keyCode, CommandMapping commandMapping,
                                      bool serverIsApple);

}  // namespace rfb::KeySymbol
