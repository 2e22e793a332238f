#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "KeySymbol.hpp"

namespace ks = rfb::KeySymbol;
using ks::CommandMapping;
using Keysym = std::optional<std::uint32_t>;

namespace {

// Special keys by their key code alone, other keys by their first character.
TEST(KeySymbolTest, ForKey) {
    const std::unordered_map<std::uint16_t, std::uint32_t> special = {
        {36, 0xFF0D},  {48, 0xFF09},  {51, 0xFF08},  {53, 0xFF1B},  {117, 0xFFFF}, {115, 0xFF50},
        {119, 0xFF57}, {116, 0xFF55}, {121, 0xFF56}, {114, 0xFF63}, {123, 0xFF51}, {124, 0xFF53},
        {125, 0xFF54}, {126, 0xFF52}, {76, 0xFF8D},  {122, 0xFFBE}, {120, 0xFFBF}, {99, 0xFFC0},
        {118, 0xFFC1}, {96, 0xFFC2},  {97, 0xFFC3},  {98, 0xFFC4},  {100, 0xFFC5}, {101, 0xFFC6},
        {109, 0xFFC7}, {103, 0xFFC8}, {111, 0xFFC9}, {105, 0xFFCA}, {107, 0xFFCB}, {113, 0xFFCC},
        {106, 0xFFCD}, {64, 0xFFCE},  {79, 0xFFCF},  {80, 0xFFD0},
    };
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto keyCode = static_cast<std::uint16_t>(code);
        const auto found = special.find(keyCode);
        if (found == special.end()) {
            ASSERT_EQ(ks::forKey(keyCode, ""), std::nullopt) << code;
        } else {
            EXPECT_EQ(ks::forKey(keyCode, ""), found->second) << code;
            EXPECT_EQ(ks::forKey(keyCode, "a"), found->second) << code;
        }
    }
    const std::pair<std::string, Keysym> typed[] = {
        {"a", 0x61},
        {"ab", 0x61},
        {"\xC3\xA9", 0xE9},                // é
        {"\xE2\x82\xAC", 0x010020AC},      // €
        {"\xF0\x9F\x98\x80", 0x0101F600},  // four UTF-8 bytes
        {"\xC3", std::nullopt},            // truncated
        {"\x80", std::nullopt},            // stray continuation byte
        {"\xED\xA0\x80", std::nullopt},    // encoded surrogate
    };
    for (const auto& [characters, keysym] : typed) {
        EXPECT_EQ(ks::forKey(0, characters), keysym) << testing::PrintToString(characters);
    }
}

TEST(KeySymbolTest, ForCharacter) {
    // clang-format off
    const std::pair<char32_t, Keysym> cases[] = {
        {3, 0xFF0D}, {13, 0xFF0D}, {8, 0xFF08}, {127, 0xFF08}, {9, 0xFF09}, {27, 0xFF1B},
        {32, 0x20}, {126, 0x7E}, {160, 0xA0}, {255, 0xFF},
        {0, {}}, {10, {}}, {31, {}}, {128, {}}, {159, {}},
        {0x100, 0x01000100}, {0xF6FF, 0x0100F6FF}, {0xF900, 0x0100F900}, {0x10FFFF, 0x0110FFFF},
        {0xF700, {}}, {0xF8FF, {}}, {0xD800, {}}, {0x110000, {}},
    };
    // clang-format on
    for (const auto& [scalar, keysym] : cases) {
        EXPECT_EQ(ks::forCharacter(scalar), keysym) << static_cast<std::uint32_t>(scalar);
    }
}

TEST(KeySymbolTest, FunctionKeysAreClamped) {
    const std::pair<int, std::uint32_t> cases[] = {
        {INT_MIN, 0xFFBE}, {0, 0xFFBE},  {1, 0xFFBE},  {12, 0xFFC9},
        {35, 0xFFE0},      {36, 0xFFE0}, {40, 0xFFE0}, {INT_MAX, 0xFFE0},
    };
    for (const auto& [n, keysym] : cases) {
        EXPECT_EQ(ks::functionKey(n), keysym) << n;
    }
}

// Settings files hold the mappings' names, and the editor lists them in this order. The left
// Command key's keysym depends on the mapping and on the server being Apple's; the right one's
// follows it.
TEST(KeySymbolTest, ModifiersAndCommandMappings) {
    const struct {
        CommandMapping mapping;
        std::string_view name;
        std::uint32_t other, apple;
    } mappings[] = {{CommandMapping::automatic, "automatic", 0xFFEB, 0xFFE7},
                    {CommandMapping::meta, "meta", 0xFFE7, 0xFFE7},
                    {CommandMapping::superKey, "superKey", 0xFFEB, 0xFFEB},
                    {CommandMapping::control, "control", 0xFFE3, 0xFFE3}};
    const std::pair<std::uint16_t, Keysym> fixed[] = {
        {56, 0xFFE1}, {60, 0xFFE2}, {59, 0xFFE3},       {62, 0xFFE4},      {58, 0xFFE9},
        {61, 0xFFEA}, {57, 0xFFE5}, {63, std::nullopt}, {0, std::nullopt}, {36, std::nullopt},
    };
    ASSERT_EQ(ks::allCommandMappings.size(), std::size(mappings));
    for (const auto& m : mappings) {
        EXPECT_EQ(ks::allCommandMappings[&m - mappings], m.mapping);
        EXPECT_EQ(ks::rawValue(m.mapping), m.name);
        EXPECT_EQ(ks::commandMappingFromRawValue(m.name), m.mapping);
        for (bool apple : {false, true}) {
            SCOPED_TRACE(std::string(m.name) + (apple ? " Apple" : " other"));
            EXPECT_EQ(ks::modifier(55, m.mapping, apple), apple ? m.apple : m.other);
            EXPECT_EQ(ks::modifier(54, m.mapping, apple), (apple ? m.apple : m.other) + 1);
            for (const auto& [keyCode, keysym] : fixed) {
                EXPECT_EQ(ks::modifier(keyCode, m.mapping, apple), keysym) << keyCode;
            }
        }
    }
    using namespace std::string_view_literals;
    for (std::string_view raw : {"Meta"sv, "super"sv, ""sv, " meta"sv, "meta\0"sv}) {
        EXPECT_EQ(ks::commandMappingFromRawValue(raw), std::nullopt) << raw;
    }
}

}  // namespace
