#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "KeyTranslation.h"
#include "KeyboardManager/KeyEvent.h"

namespace sendhold {
namespace {

TEST(KeyTranslation, GuardedKeysGetTheGuardsNumbersAndEveryOtherKeyMapsBackUnharmed) {
    const std::pair<unsigned, std::int64_t> guarded[] = {{KEY_ENTER, kKeyCodeReturn},
                                                         {KEY_KPENTER, kKeyCodeKeypadEnter},
                                                         {KEY_LEFTSHIFT, kKeyCodeShift},
                                                         {KEY_RIGHTSHIFT, kKeyCodeRightShift}};
    for (auto [evdev, guard] : guarded) {
        EXPECT_EQ(guardKeyCode(evdev), guard);
        EXPECT_EQ(evdevKeyCode(guard), evdev);
    }
    // evdev's 36 is J: passing numbers through would guard the J key.
    for (unsigned code = 0; code <= KEY_MAX; ++code) {
        if (code == KEY_ENTER || code == KEY_KPENTER || code == KEY_LEFTSHIFT ||
            code == KEY_RIGHTSHIFT) {
            continue;
        }
        const std::int64_t guard = guardKeyCode(code);
        ASSERT_NE(guard, kKeyCodeReturn) << code;
        ASSERT_NE(guard, kKeyCodeKeypadEnter) << code;
        ASSERT_NE(guard, kKeyCodeShift) << code;
        ASSERT_EQ(evdevKeyCode(guard), code);
    }
    for (std::int64_t unknown :
         {std::int64_t{0}, std::int64_t{-1}, kOtherKeyCodeBase + KEY_MAX + 1}) {
        EXPECT_FALSE(evdevKeyCode(unknown).has_value()) << unknown;
    }
    // Buttons never reach the guard; keys in the ranges between them do.
    EXPECT_TRUE(isPointerButton(BTN_LEFT) && isPointerButton(BTN_TRIGGER_HAPPY1));
    EXPECT_FALSE(isPointerButton(KEY_OK) || isPointerButton(KEY_MACRO1));
}

}  // namespace
}  // namespace sendhold
