#include <gtest/gtest.h>

#include <QImage>
#include <cmath>

#include "KeyboardIcon.h"

namespace sendhold {
namespace {

int maxAlpha(const QImage& image) {
    int most = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) most = std::max(most, qAlpha(image.pixel(x, y)));
    return most;
}

TEST(KeyboardIcon, OwnGlyphIsShippedInTheBinaryAndOpaque) {
    const QImage glyph = builtInKeyboardGlyph(24).toImage();
    ASSERT_EQ(glyph.size(), QSize(24, 24));
    EXPECT_EQ(maxAlpha(glyph), 255);
    // The corners stay clear: a glyph, not a filled square.
    EXPECT_EQ(qAlpha(glyph.pixel(0, 0)), 0);
}

TEST(KeyboardIcon, OffIsTheFinishedGlyphAtThirtyPercent) {
    for (int size : {16, 22, 32, 64}) {
        const QImage on = keyboardPixmap(true, size).toImage();
        const QImage off = keyboardPixmap(false, size).toImage();
        ASSERT_EQ(on.size(), QSize(size, size));
        ASSERT_EQ(off.size(), on.size());
        EXPECT_EQ(maxAlpha(on), 255) << size;
        // Every pixel fades by the same factor, also where shapes overlap
        // (drawing the shapes one by one at 0.3 would sum up to about 0.5 there).
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                const int expected = int(std::lround(qAlpha(on.pixel(x, y)) * kOffIconOpacity));
                ASSERT_NEAR(qAlpha(off.pixel(x, y)), expected, 3) << size << " " << x << "," << y;
            }
        }
    }
}

}  // namespace
}  // namespace sendhold
