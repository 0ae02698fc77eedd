// The feed: reading the document, resolving its version, and the check's decision.
#include "update/Feed.h"

#include <gtest/gtest.h>

using namespace mirovan;

namespace {

const std::string feedUrl = "https://updates.example.com/mirovan/feed.json";

FeedDecision decideBody(std::int64_t current, const std::string& body) {
    return decide(current, readFeed(body), feedUrl);
}

NewerBuild newer(std::int64_t current, const std::string& body) {
    auto decision = decideBody(current, body);
    auto* build = std::get_if<NewerBuild>(&decision);
    EXPECT_TRUE(build) << body << " gave alternative " << decision.index();
    return build ? *build : NewerBuild{};
}

}  // namespace

TEST(Feed, VersionIsAnExactIntegerOrABuildNumberStringElseZero) {
    for (const auto& [member, expected] : std::vector<std::pair<const char*, std::int64_t>>{
             {"42", 42}, {R"("42")", 42}, {"-1", -1}, {"42.0", 42}, {"9223372036854775807", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}, {"42.5", 0}, {"1e30", 0}, {R"("4.2")", 0}, {"[42]", 0},
             {"true", 0}, {"9223372036854775808", 0} /* unsigned */, {"9.223372036854775808e18", 0} /* 2^63 */}) {
        auto document = readFeed(R"({"version": )" + std::string(member) + "}");
        ASSERT_TRUE(document) << member;
        EXPECT_EQ(document->version, expected) << member;
    }
    EXPECT_EQ(readFeed("{}")->version, 0);
}

TEST(Feed, OnlyAJsonObjectIsADocument) {
    for (const char* body : {"", "[]", "42", "null", "{\"version\": 42", "<html>502 Bad Gateway</html>", "{} x"})
        EXPECT_FALSE(readFeed(body)) << body;
    auto document = readFeed(R"({"version": 7, "url": 5, "sha256": "AB", "name": ["x"], "extra": {}})");
    ASSERT_TRUE(document);
    EXPECT_EQ(document->version, 7);
    EXPECT_FALSE(document->url);  // not a string
    EXPECT_EQ(document->sha256, "AB");
    EXPECT_FALSE(document->name);
}

TEST(Feed, NewerBuildCarriesResolvedUrlLowerCaseDigestAndLabel) {
    auto build = newer(41, R"j({"version": 42, "url": "Mirovan-42.zip", "sha256": "AB12CDef", "name": "2.0 (42)"})j");
    EXPECT_EQ(build.url, "https://updates.example.com/mirovan/Mirovan-42.zip");
    EXPECT_EQ(build.sha256, "ab12cdef");
    EXPECT_EQ(build.version, 42);
    EXPECT_EQ(build.label, "2.0 (42)");

    build = newer(41, R"({"version": "42", "url": "https://cdn.example.org/a/b.zip?x=1", "sha256": "ab", "name": 3})");
    EXPECT_EQ(build.url, "https://cdn.example.org/a/b.zip?x=1");
    EXPECT_EQ(build.label, "42");  // a name that is not a string gives way to the number

    EXPECT_EQ(newer(41, R"({"version": 42, "url": "../all/u.zip", "sha256": "ab"})").url,
              "https://updates.example.com/all/u.zip");
    // A running build of 0 (one it could not read) takes any build of 1 or more.
    EXPECT_EQ(newer(0, R"({"version": 1, "url": "u.zip", "sha256": "ab"})").version, 1);
}

TEST(Feed, EqualOlderOrUnreadableVersionIsUpToDate) {
    for (const auto& [current, version] : std::vector<std::pair<std::int64_t, std::string>>{
             {42, R"("version": 42,)"}, {42, R"("version": "41",)"}, {0, R"("version": 42.5,)"},
             {0, R"("version": -1,)"}, {0, ""}})
        EXPECT_TRUE(std::holds_alternative<UpToDate>(
            decideBody(current, "{" + version + R"( "url": "u.zip", "sha256": "ab"})")))
            << version;
}

TEST(Feed, UrlAndDigestAreCheckedBeforeTheVersion) {
    // Not newer, and still a failure: the feed is broken.
    std::vector<std::pair<std::int64_t, std::string>> cases = {
        {42, R"({"version": 42, "url": "u.zip"})"}, {42, R"({"version": 42, "sha256": "ab"})"},
        {41, R"({"version": 42, "url": "u.zip", "sha256": 171})"},
        {41, R"({"version": 42, "url": ["u.zip"], "sha256": "ab"})"}, {41, "[]"}};
    for (const char* url : {"", "http://[::1", "http://host:99999/u.zip", "u%zz.zip"})
        cases.push_back({41, R"({"version": 42, "sha256": "ab", "url": ")" + std::string(url) + "\"}"});
    for (const auto& [current, body] : cases)
        EXPECT_TRUE(std::holds_alternative<FeedUnusable>(decideBody(current, body))) << body;
}

TEST(Feed, AddressMustBeAnAbsoluteUrl) {
    EXPECT_EQ(feedAddress("https://example.com/feed.json"), "https://example.com/feed.json");
    EXPECT_EQ(feedAddress("http://127.0.0.1:8000/f"), "http://127.0.0.1:8000/f");
    EXPECT_FALSE(feedAddress(std::nullopt));
    for (const char* bad : {"", "feed.json", "http://[::1/feed.json"}) EXPECT_FALSE(feedAddress(bad)) << bad;
}
