#pragma once

#include <cstdint>
#include <optional>

namespace sendhold {

// Event types, in the numbering the guard works with.
inline constexpr std::uint32_t kEventTypeKeyDown = 10;
inline constexpr std::uint32_t kEventTypeKeyUp = 11;
// Notices delivered down the same path when the keyboard hook had to be switched off.
inline constexpr std::uint32_t kEventTypeTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr std::uint32_t kEventTypeTapDisabledByUserInput = 0xFFFFFFFF;

// Key codes, in the guard's own numbering (not evdev's: evdev 36 is KEY_J).
inline constexpr std::int64_t kKeyCodeReturn = 36;
inline constexpr std::int64_t kKeyCodeKeypadEnter = 76;
inline constexpr std::int64_t kKeyCodeShift = 56;
inline constexpr std::int64_t kKeyCodeRightShift = 60;
// Modifier keys (Command, Shift, Caps Lock, Option, Control, their right-hand
// twins and Fn) occupy 54 to 63.
inline constexpr bool isModifierKeyCode(std::int64_t keyCode) {
    return keyCode >= 54 && keyCode <= 63;
}

// Modifier flag bits.
inline constexpr std::uint64_t kFlagCapsLock = 0x10000;
inline constexpr std::uint64_t kFlagShift = 0x20000;
inline constexpr std::uint64_t kFlagControl = 0x40000;
inline constexpr std::uint64_t kFlagAlternate = 0x80000;
inline constexpr std::uint64_t kFlagCommand = 0x100000;
// Control, Alt or Meta held: Return passes untouched.
inline constexpr std::uint64_t kBypassModifierMask = kFlagControl | kFlagAlternate | kFlagCommand;

// A key event as the hook hands it to the guard.
struct KeyEvent {
    std::int64_t keyCode = 0;
    std::uint64_t flags = 0;
    // Zero for physical input; the guard's own events carry its marker here.
    std::int64_t userData = 0;
};

// An event the guard synthesizes and hands to the poster.
struct PostedKeyEvent {
    std::int64_t keyCode = 0;
    bool keyDown = true;
    // Absent when the guard left the flags as created.
    std::optional<std::uint64_t> flags;
    std::int64_t userData = 0;
};

}  // namespace sendhold
