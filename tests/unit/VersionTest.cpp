// The build-number conversion: plain signed decimal or 0.
#include "update/Version.h"

#include <gtest/gtest.h>

using mirovan::buildNumber;

TEST(BuildNumber, SignedDecimalDigitsConvert) {
    EXPECT_EQ(buildNumber("57"), 57);
    EXPECT_EQ(buildNumber("+12"), 12);
    EXPECT_EQ(buildNumber("-3"), -3);
    EXPECT_EQ(buildNumber("007"), 7);
    EXPECT_EQ(buildNumber("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(buildNumber("-9223372036854775808"), INT64_MIN);
}

TEST(BuildNumber, AnythingElseIsZero) {
    for (const char* text : {"1.4", " 12", "12 ", "", "+", "-", "+-1", "-+1", "1_000", "0x10",
                             "\xd9\xa1\xd9\xa2" /* Arabic-Indic 12 */, "9223372036854775808",
                             "-9223372036854775809", "99999999999999999999999"})
        EXPECT_EQ(buildNumber(text), 0) << '"' << text << '"';
}
