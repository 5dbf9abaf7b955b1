#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include "KeyTranslation.h"
#include "KeyboardManager/KeyEvent.h"

namespace sendhold {
namespace {

TEST(KeyTranslation, GuardedKeysGetTheGuardsNumbersAndNoOtherKeyMeetsThem) {
    EXPECT_EQ(guardKeyCode(KEY_ENTER), kKeyCodeReturn);
    EXPECT_EQ(guardKeyCode(KEY_KPENTER), kKeyCodeKeypadEnter);
    EXPECT_EQ(guardKeyCode(KEY_LEFTSHIFT), kKeyCodeShift);
    EXPECT_EQ(guardKeyCode(KEY_RIGHTSHIFT), kKeyCodeRightShift);
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
}

TEST(KeyTranslation, PostedNumbersMapBackAndUnknownOnesAreRefused) {
    EXPECT_EQ(evdevKeyCode(kKeyCodeReturn), KEY_ENTER);
    EXPECT_EQ(evdevKeyCode(kKeyCodeShift), KEY_LEFTSHIFT);
    EXPECT_EQ(evdevKeyCode(kKeyCodeRightShift), KEY_RIGHTSHIFT);
    EXPECT_FALSE(evdevKeyCode(0).has_value());
    EXPECT_FALSE(evdevKeyCode(-1).has_value());
    EXPECT_FALSE(evdevKeyCode(kOtherKeyCodeBase + KEY_MAX + 1).has_value());
}

TEST(KeyTranslation, PointerButtonsAreToldFromKeysAtTheEdges) {
    // Buttons never reach the guard; keys in the ranges between them do.
    EXPECT_TRUE(isPointerButton(BTN_LEFT));
    EXPECT_TRUE(isPointerButton(BTN_TOUCH));
    EXPECT_TRUE(isPointerButton(BTN_TRIGGER_HAPPY1));
    EXPECT_FALSE(isPointerButton(KEY_OK));
    EXPECT_FALSE(isPointerButton(KEY_MACRO1));
}

}  // namespace
}  // namespace sendhold
