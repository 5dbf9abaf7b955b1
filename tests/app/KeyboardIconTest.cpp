#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "app/KeyboardIcon.h"

using namespace sendhold;

// On is the opaque glyph; off is the finished glyph faded as a whole to 30 %,
// also where shapes overlap (fading each shape would sum to about 50 % there).
TEST(KeyboardIcon, OnIsOpaqueOffIsTheFinishedGlyphAtThirtyPercent) {
    EXPECT_EQ(qAlpha(builtInKeyboardGlyph(24).toImage().pixel(0, 0)), 0);  // a glyph, not a square
    for (int size : {16, 22, 64}) {
        const QImage on = keyboardPixmap(true, size).toImage();
        const QImage off = keyboardPixmap(false, size).toImage();
        ASSERT_EQ(off.size(), QSize(size, size));
        int most = 0;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                most = std::max(most, qAlpha(on.pixel(x, y)));
                ASSERT_NEAR(qAlpha(off.pixel(x, y)), std::lround(qAlpha(on.pixel(x, y)) * 0.3), 3);
            }
        EXPECT_EQ(most, 255) << size;
    }
}
