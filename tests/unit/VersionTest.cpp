// The build-number conversion: plain signed decimal or 0.
#include "update/Version.h"

#include <gtest/gtest.h>

using mirovan::buildNumber;

TEST(BuildNumber, SignedDecimalDigitsConvertAnythingElseIsZero) {
    for (const auto& [text, expected] : std::vector<std::pair<const char*, std::int64_t>>{
             {"57", 57}, {"+12", 12}, {"-3", -3}, {"007", 7},
             {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
             {"1.4", 0}, {" 12", 0}, {"12 ", 0}, {"", 0}, {"+", 0}, {"-", 0}, {"+-1", 0}, {"-+1", 0},
             {"1_000", 0}, {"0x10", 0}, {"\xd9\xa1\xd9\xa2" /* Arabic-Indic 12 */, 0},
             {"9223372036854775808", 0}, {"-9223372036854775809", 0}})
        EXPECT_EQ(buildNumber(text), expected) << '"' << text << '"';
}
