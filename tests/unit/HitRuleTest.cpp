// The strip's hit rule at its edges.
#include "web/HitRule.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(HitRule, StripAndBand) {
    std::vector<Rect> none;
    EXPECT_EQ(decidePress(none, 10, 10, 1), Press::drag);
    EXPECT_EQ(decidePress(none, 100, 10, 1), Press::page);
    EXPECT_EQ(decidePress(none, 200, 10, 1), Press::drag);
    EXPECT_EQ(decidePress(none, 200, 36, 1), Press::page);
    EXPECT_EQ(decidePress(none, 200, 35.9, 1), Press::drag);
    EXPECT_EQ(decidePress(none, 70, 10, 1), Press::page);
    EXPECT_EQ(decidePress(none, 130, 10, 1), Press::page);
    EXPECT_EQ(decidePress(none, 69.9, 10, 1), Press::drag);
    EXPECT_EQ(decidePress(none, 130.1, 10, 1), Press::drag);
    EXPECT_EQ(decidePress(none, 10, -1, 1), Press::drag);  // above the view still counts as strip
}

TEST(HitRule, ClickCountTwoZoomsOthersDrag) {
    std::vector<Rect> none;
    EXPECT_EQ(decidePress(none, 10, 10, 2), Press::zoom);
    EXPECT_EQ(decidePress(none, 10, 10, 3), Press::drag);
    EXPECT_EQ(decidePress(none, 10, 10, 0), Press::drag);
    EXPECT_EQ(decidePress(none, 100, 10, 2), Press::page);  // the band never zooms
}

TEST(HitRule, PageRectanglesComeFirst) {
    std::vector<Rect> rects{{150, 0, 40, 36}};
    EXPECT_EQ(decidePress(rects, 160, 10, 1), Press::page);
    EXPECT_EQ(decidePress(rects, 150, 0, 2), Press::page);  // minimum edges are in
    EXPECT_EQ(decidePress(rects, 190, 10, 1), Press::drag);  // right edge is out
    EXPECT_EQ(decidePress(rects, 160, 36, 1), Press::page);
    // Below the strip a rectangle changes nothing.
    EXPECT_EQ(decidePress({{0, 100, 50, 50}}, 10, 10, 1), Press::drag);
}

TEST(HitRule, StandardFormAndEmptyRectangles) {
    // Negative sizes extend left and up: this is the rectangle 150..190 x 0..36.
    std::vector<Rect> flipped{{190, 36, -40, -36}};
    EXPECT_EQ(decidePress(flipped, 150, 0, 1), Press::page);
    EXPECT_EQ(decidePress(flipped, 160, 10, 1), Press::page);
    EXPECT_EQ(decidePress(flipped, 190, 10, 1), Press::drag);
    EXPECT_FALSE(contains({10, 10, 0, 20}, 10, 15));
    EXPECT_FALSE(contains({10, 10, 20, 0}, 15, 10));
    EXPECT_TRUE(contains({0.5, 0.5, 10.25, 20}, 10.7, 20.4));
    EXPECT_FALSE(contains({0.5, 0.5, 10.25, 20}, 10.75, 20.4));
}

TEST(PressCount, CountsPressesCloseInTimeAndPlace) {
    PressCount count;
    EXPECT_EQ(count.press(1000, 10, 10, 400, 5), 1);
    EXPECT_EQ(count.press(1200, 12, 9, 400, 5), 2);
    EXPECT_EQ(count.press(1500, 12, 9, 400, 5), 3);
    EXPECT_EQ(count.press(2000, 12, 9, 400, 5), 1);  // too late
    EXPECT_EQ(count.press(2100, 30, 9, 400, 5), 1);  // too far
    EXPECT_EQ(count.press(2200, 30, 9, 400, 5), 2);
    // Event times wrap around; the difference still counts.
    PressCount wrapping;
    wrapping.press(0xFFFFFF00u, 0, 0, 400, 5);
    EXPECT_EQ(wrapping.press(0x00000010u, 0, 0, 400, 5), 2);
}
