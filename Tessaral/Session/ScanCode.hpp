#pragma once

#include <cstdint>

namespace tessaral {

// The XT (set 1) scan code of the physical key with this X11 or Wayland keycode (the evdev code
// plus 8), as QEMU's extended key events carry it: keys sent with an E0 prefix have their high
// bit set. 0 for keycodes no PC keyboard key has.
std::uint32_t xtScanCode(std::uint32_t keycode);

}  // namespace tessaral
