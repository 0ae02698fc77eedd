// Build numbers, the feed document, and the check's decision on it.
#include "update/Feed.h"

#include <gtest/gtest.h>

#include "platform/WebAddress.h"
#include "update/Version.h"

using namespace mirovan;

namespace {

std::string decided(std::int64_t current, const std::string& body) {
    auto d = decide(current, readFeed(body), "https://updates.example.com/mirovan/feed.json");
    if (auto* b = std::get_if<NewerBuild>(&d))
        return b->url + " " + b->sha256 + " " + std::to_string(b->version) +
               (b->length ? " " + std::to_string(*b->length) : "");
    return std::holds_alternative<UpToDate>(d) ? "up to date" : "unusable";
}

}  // namespace

TEST(BuildNumber, SignedDecimalDigitsConvertAnythingElseIsZero) {
    // clang-format off
    for (const auto& [text, expected] : std::vector<std::pair<const char*, std::int64_t>>{
             {"57", 57}, {"+12", 12}, {"-3", -3}, {"007", 7}, {"9223372036854775807", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}, {"1.4", 0}, {" 12", 0}, {"12 ", 0}, {"", 0}, {"+", 0}, {"-", 0},
             {"+-1", 0}, {"0x10", 0}, {"\xd9\xa1\xd9\xa2" /* Arabic-Indic 12 */, 0}, {"9223372036854775808", 0},
             {"-9223372036854775809", 0}})
        // clang-format on
        EXPECT_EQ(buildNumber(text), expected) << '"' << text << '"';
}

TEST(Feed, VersionIsAnExactIntegerOrABuildNumberStringElseZero) {
    // clang-format off
    for (const auto& [member, expected] : std::vector<std::pair<const char*, std::int64_t>>{
             {"42", 42}, {R"("42")", 42}, {"-1", -1}, {"42.0", 42}, {"9223372036854775807", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}, {"42.5", 0}, {"1e30", 0}, {R"("4.2")", 0}, {"[42]", 0},
             {"true", 0}, {"9223372036854775808", 0} /* unsigned */, {"9.223372036854775808e18", 0} /* 2^63 */}) {
        auto document = readFeed(R"({"version": )" + std::string(member) + "}");
        ASSERT_TRUE(document) << member;
        EXPECT_EQ(document->version, expected) << member;
    }
    // clang-format on
    EXPECT_EQ(readFeed("{}")->version, 0);
}

TEST(Feed, DecisionOnTheRunningBuild) {
    const std::string at = "https://updates.example.com/mirovan/", rest = R"(, "url": "u.zip", "sha256": "ab"})";
    // clang-format off
    std::vector<std::tuple<std::int64_t, std::string, std::string>> cases = {
        {41, R"j({"version": 42, "url": "M-42.zip", "sha256": "AB12CDef", "name": "2.0 (42)", "length": 0})j",
         at + "M-42.zip ab12cdef 42 0"},
        {41, R"({"version": "42", "url": "https://cdn.example.org/b.zip?x=1", "sha256": "ab", "length": 1000})",
         "https://cdn.example.org/b.zip?x=1 ab 42 1000"},
        {41, R"({"version": 42, "url": "../u.zip", "sha256": "ab"})", "https://updates.example.com/u.zip ab 42"},
        {0, R"({"version": 1)" + rest, at + "u.zip ab 1"},  // a build it could not read takes any other
        {42, R"({"version": 42)" + rest, "up to date"}, {42, R"({"version": "41")" + rest, "up to date"},
        {0, R"({"version": 42.5)" + rest, "up to date"}, {0, R"({"version": -1)" + rest, "up to date"},
        {0, R"({"extra": 1)" + rest, "up to date"},
        // Only a JSON object is a document, and only its string members count. The address and
        // digest are looked at first: a broken feed shows even when nothing is newer.
        {42, R"({"version": 42, "url": "u.zip"})", "unusable"}, {42, R"({"version": 42, "sha256": "ab"})", "unusable"},
        {41, R"({"version": 42, "url": "u.zip", "sha256": 171})", "unusable"}, {41, "[]", "unusable"},
        {41, R"({"version": 42, "url": ["u.zip"], "sha256": "ab"})", "unusable"}, {41, "", "unusable"},
        // A length that is no byte count cannot bound the download.
        {41, R"({"version": 42, "length": -1)" + rest, "unusable"}, {41, R"({"version": 42, "length": "9")" + rest, "unusable"},
        {41, R"({"version": 42, "length": 1.5)" + rest, "unusable"},
        {41, R"({"version": 42)" + rest + " x", "unusable"}, {41, "<html>502 Bad Gateway</html>", "unusable"}};
    for (const char* url : {"", "http://[::1", "http://host:99999/u.zip", "u%zz.zip"})
        cases.push_back({41, R"({"version": 42, "sha256": "ab", "url": ")" + std::string(url) + "\"}", "unusable"});
    for (const auto& [current, body, decision] : cases) EXPECT_EQ(decided(current, body), decision) << body;
}

TEST(Feed, AddressesAreAbsoluteAndTransfersHttpsOrOnThisMachine) {
    EXPECT_EQ(feedAddress("http://127.0.0.1:8000/f"), "http://127.0.0.1:8000/f");
    EXPECT_FALSE(feedAddress(std::nullopt));
    for (const char* bad : {"", "feed.json", "http://[::1/feed.json"}) EXPECT_FALSE(feedAddress(bad)) << bad;
    for (const char* good : {"HTTPS://x.example/f.json", "http://127.200.1.9:8000/", "http://127.1/", "http://[::1]/",
                             "http://LocalHost/a.zip"})
        EXPECT_TRUE(secureAddress(good)) << good;
    // The host is the one libcurl would connect to, whatever the text around it suggests.
    for (const char* bad : {"http://x.example/f.json", "http://127.0.0.1.x.example/", "http://127.0.0.1@x.example/",
                            "http://[::2]/", "http://128.0.0.1/", "ftp://127.0.0.1/", "file:///etc/passwd", ""})
        EXPECT_FALSE(secureAddress(bad)) << bad;
}
