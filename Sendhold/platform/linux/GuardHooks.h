#pragma once

#include <cstdint>
#include <functional>

#include "KeyboardManager/KeyEvent.h"

namespace sendhold {

// What the tap needs of the guard: its callback, and enough of the press state
// to know which keyboard a press belongs to and to end it when that keyboard
// goes away.
struct GuardHooks {
    // Returns the event to let it pass, nullptr to drop it.
    std::function<KeyEvent*(std::uint32_t type, KeyEvent* event)> callback;
    std::function<bool()> pressIsOpen;
    std::function<void()> endPress;
};

// The hooks of KeyboardManager::shared().
GuardHooks sharedGuardHooks();

}  // namespace sendhold
