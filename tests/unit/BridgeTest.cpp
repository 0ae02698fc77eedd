// The page's messages: rectangles and appearance.
#include "web/Bridge.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(NoDrag, KeepsFourNumberArraysInOrder) {
    EXPECT_EQ(parseNoDrag("[[10,0,30,36],[200,4,24,24]]"),
              (std::vector<Rect>{{10, 0, 30, 36}, {200, 4, 24, 24}}));
    EXPECT_EQ(parseNoDrag("[]"), std::vector<Rect>{});
    EXPECT_EQ(parseNoDrag("[[1,2,3],[4,5,6,7],[8,9,10,11,12]]"), (std::vector<Rect>{{4, 5, 6, 7}}));
    EXPECT_EQ(parseNoDrag(" [[0.5,0.5,10.25,20]] "), (std::vector<Rect>{{0.5, 0.5, 10.25, 20}}));
    EXPECT_EQ(parseNoDrag("[[-5,1e1,-3,0]]"), (std::vector<Rect>{{-5, 10, -3, 0}}));
}

TEST(NoDrag, AnythingMalformedGivesNothing) {
    for (const char* bad : {"", "not json", "{}", "{\"a\":[1,2,3,4]}", "[[1,2,\"3\",4]]", "[[1,2,3,4],5]",
                            "[[1,2,3,4]] x", "[[1,2,null,4]]", "[[true,2,3,4]]", "[[[1],2,3,4]]", "4",
                            "\"[[1,2,3,4]]\""})
        EXPECT_EQ(parseNoDrag(bad), std::nullopt) << bad;
}

TEST(Appearance, OnlyExactKeywords) {
    EXPECT_EQ(appearanceFor("dark"), Appearance::dark);
    EXPECT_EQ(appearanceFor("light"), Appearance::light);
    EXPECT_EQ(appearanceFor("Dark"), Appearance::system);
    EXPECT_EQ(appearanceFor(""), Appearance::system);
    EXPECT_EQ(appearanceFor("system"), Appearance::system);
}
