#include "ScanCode.hpp"

#include <array>
#include <utility>

namespace tessaral {

std::uint32_t xtScanCode(std::uint32_t keycode) {
    const std::uint32_t evdev = keycode - 8;
    // Linux numbered the keys of the PC keyboard by their XT codes, up to keypad period.
    if (keycode >= 9 && evdev <= 83) {
        return evdev;
    }
    static constexpr std::array<std::pair<std::uint32_t, std::uint32_t>, 28> others{{
        {85, 0x76},   // zenkaku/hankaku
        {86, 0x56},   // the key left of Z on ISO keyboards
        {87, 0x57},   // F11
        {88, 0x58},   // F12
        {89, 0x73},   // ro
        {92, 0x79},   // henkan
        {93, 0x70},   // katakana/hiragana
        {94, 0x7B},   // muhenkan
        {96, 0x9C},   // keypad Enter
        {97, 0x9D},   // right Ctrl
        {98, 0xB5},   // keypad /
        {99, 0xB7},   // Print Screen
        {100, 0xB8},  // right Alt
        {102, 0xC7},  // Home
        {103, 0xC8},  // Up
        {104, 0xC9},  // Page Up
        {105, 0xCB},  // Left
        {106, 0xCD},  // Right
        {107, 0xCF},  // End
        {108, 0xD0},  // Down
        {109, 0xD1},  // Page Down
        {110, 0xD2},  // Insert
        {111, 0xD3},  // Delete
        {117, 0x59},  // keypad =
        {119, 0xC6},  // Pause
        {124, 0x7D},  // yen
        {125, 0xDB},  // left Super
        {126, 0xDC},  // right Super
    }};
    for (const auto& [code, xt] : others) {
        if (code == evdev) {
            return xt;
        }
    }
    return evdev == 127 ? 0xDD : 0;  // Menu
}

}  // namespace tessaral
