#include "KeyTranslation.h"

#include <linux/input-event-codes.h>

#include "KeyboardManager/KeyEvent.h"

namespace sendhold {

std::int64_t guardKeyCode(unsigned evdevCode) {
    switch (evdevCode) {
        case KEY_ENTER:
            return kKeyCodeReturn;
        case KEY_KPENTER:
            return kKeyCodeKeypadEnter;
        case KEY_LEFTSHIFT:
            return kKeyCodeShift;
        case KEY_RIGHTSHIFT:
            return kKeyCodeRightShift;
        default:
            return kOtherKeyCodeBase + evdevCode;
    }
}

std::optional<unsigned> evdevKeyCode(std::int64_t guardCode) {
    switch (guardCode) {
        case kKeyCodeReturn:
            return KEY_ENTER;
        case kKeyCodeKeypadEnter:
            return KEY_KPENTER;
        case kKeyCodeShift:
            return KEY_LEFTSHIFT;
        case kKeyCodeRightShift:
            return KEY_RIGHTSHIFT;
        default:
            break;
    }
    if (guardCode >= kOtherKeyCodeBase && guardCode <= kOtherKeyCodeBase + KEY_MAX) {
        return static_cast<unsigned>(guardCode - kOtherKeyCodeBase);
    }
    return std::nullopt;
}

std::uint64_t heldModifierFlag(unsigned evdevCode) {
    switch (evdevCode) {
        case KEY_LEFTSHIFT:
        case KEY_RIGHTSHIFT:
            return kFlagShift;
        case KEY_LEFTCTRL:
        case KEY_RIGHTCTRL:
            return kFlagControl;
        case KEY_LEFTALT:
        case KEY_RIGHTALT:
            return kFlagAlternate;
        case KEY_LEFTMETA:
        case KEY_RIGHTMETA:
            return kFlagCommand;
        default:
            return 0;
    }
}

bool isModifierKey(unsigned evdevCode) {
    return heldModifierFlag(evdevCode) != 0 || evdevCode == KEY_CAPSLOCK;
}

bool isPointerButton(unsigned evdevCode) {
    return (evdevCode >= BTN_MISC && evdevCode < KEY_OK) ||
           (evdevCode >= BTN_DPAD_UP && evdevCode <= BTN_DPAD_RIGHT) ||
           evdevCode >= BTN_TRIGGER_HAPPY;
}

}  // namespace sendhold
