#pragma once

#include <cstdint>
#include <optional>

namespace sendhold {

// Keys that are not Return, keypad Enter or Shift reach the guard as this base
// plus their evdev code, a range that can never meet the guard's own numbers.
inline constexpr std::int64_t kOtherKeyCodeBase = 0x10000;

// evdev key code -> the guard's key numbering.
std::int64_t guardKeyCode(unsigned evdevCode);

// The guard's key numbering -> evdev key code; nothing for numbers that name no key.
std::optional<unsigned> evdevKeyCode(std::int64_t guardCode);

// Shift, Control, Alt, Meta and Caps Lock: they change the flags and are forwarded
// without reaching the guard, as the flags-changed events they stand for.
bool isModifierKey(unsigned evdevCode);

// The flag a held modifier key contributes (Caps Lock contributes none while
// held: its flag follows the lock light).
std::uint64_t heldModifierFlag(unsigned evdevCode);

// Mouse, joystick and similar buttons share EV_KEY with keys; they are pointer
// input and never reach the guard.
bool isPointerButton(unsigned evdevCode);

}  // namespace sendhold
