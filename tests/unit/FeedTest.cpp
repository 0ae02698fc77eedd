// The feed: reading the document, resolving its version, and the check's decision.
#include "update/Feed.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using namespace mirovan;

namespace {

const std::string feedUrl = "https://updates.example.com/mirovan/feed.json";

std::int64_t versionOf(const std::string& member) {
    auto document = readFeed(R"({"version": )" + member + "}");
    EXPECT_TRUE(document) << member;
    return document ? document->version : -999;
}

FeedDecision decideBody(std::int64_t current, const std::string& body) {
    return decide(current, readFeed(body), feedUrl);
}

NewerBuild newer(const FeedDecision& decision) {
    auto* build = std::get_if<NewerBuild>(&decision);
    EXPECT_TRUE(build) << "expected a newer build, got alternative " << decision.index();
    return build ? *build : NewerBuild{};
}

}  // namespace

TEST(Feed, VersionIsAnExactIntegerOrABuildNumberStringElseZero) {
    EXPECT_EQ(versionOf("42"), 42);
    EXPECT_EQ(versionOf(R"("42")"), 42);
    EXPECT_EQ(versionOf(R"("+42")"), 42);
    EXPECT_EQ(versionOf("-1"), -1);
    EXPECT_EQ(versionOf("42.0"), 42);  // converts exactly
    EXPECT_EQ(versionOf("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(versionOf("-9223372036854775808"), INT64_MIN);

    EXPECT_EQ(versionOf("42.5"), 0);
    EXPECT_EQ(versionOf("1e30"), 0);
    EXPECT_EQ(versionOf("9223372036854775808"), 0);  // an unsigned beyond the signed range
    EXPECT_EQ(versionOf("9.223372036854775808e18"), 0);
    EXPECT_EQ(versionOf(R"("4.2")"), 0);
    EXPECT_EQ(versionOf(R"(" 42")"), 0);
    EXPECT_EQ(versionOf(R"("")"), 0);
    EXPECT_EQ(versionOf("[42]"), 0);
    EXPECT_EQ(versionOf(R"({"v": 42})"), 0);
    EXPECT_EQ(versionOf("true"), 0);
    EXPECT_EQ(versionOf("null"), 0);
    EXPECT_EQ(readFeed("{}")->version, 0);
}

TEST(Feed, OnlyAJsonObjectIsADocument) {
    for (const char* body : {"", "   ", "[]", R"(["version", 42])", "42", R"("text")", "null",
                             "{\"version\": 42", "<html>502 Bad Gateway</html>", "{} trailing"})
        EXPECT_FALSE(readFeed(body)) << body;

    auto document = readFeed(R"({"version": 7, "url": 5, "sha256": "AB", "name": ["x"], "extra": {}})");
    ASSERT_TRUE(document);
    EXPECT_EQ(document->version, 7);
    EXPECT_FALSE(document->url);  // not a string
    EXPECT_EQ(document->sha256, "AB");
    EXPECT_FALSE(document->name);
}

TEST(Feed, NewerBuildCarriesResolvedUrlLowerCaseDigestAndLabel) {
    auto build = newer(decideBody(41, R"j({"version": 42, "url": "Mirovan-42.zip", "sha256": "AB12CDef",
                                         "name": "2.0 (42)"})j"));
    EXPECT_EQ(build.url, "https://updates.example.com/mirovan/Mirovan-42.zip");
    EXPECT_EQ(build.sha256, "ab12cdef");
    EXPECT_EQ(build.version, 42);
    EXPECT_EQ(build.label, "2.0 (42)");

    // Without a name the label is the number; an absolute url stays as it is; a string
    // version counts like a number.
    build = newer(decideBody(41, R"({"version": "42", "url": "https://cdn.example.org/a/b.zip?x=1",
                                    "sha256": "ab12cd", "name": 3})"));
    EXPECT_EQ(build.url, "https://cdn.example.org/a/b.zip?x=1");
    EXPECT_EQ(build.label, "42");

    EXPECT_EQ(newer(decideBody(41, R"({"version": 42, "url": "../all/u.zip", "sha256": "ab"})")).url,
              "https://updates.example.com/all/u.zip");
    // A running build of 0 (a version it could not read) takes any build of 1 or more.
    EXPECT_EQ(newer(decideBody(0, R"({"version": 1, "url": "u.zip", "sha256": "ab"})")).version, 1);
}

TEST(Feed, EqualOrOlderIsUpToDate) {
    const std::string tail = R"(, "url": "u.zip", "sha256": "ab"})";
    EXPECT_TRUE(std::holds_alternative<UpToDate>(decideBody(42, R"({"version": 42)" + tail)));
    EXPECT_TRUE(std::holds_alternative<UpToDate>(decideBody(42, R"({"version": "41")" + tail)));
    EXPECT_TRUE(std::holds_alternative<UpToDate>(decideBody(0, R"({"version": 42.5)" + tail)));
    EXPECT_TRUE(std::holds_alternative<UpToDate>(decideBody(0, R"({"version": -1)" + tail)));
    EXPECT_TRUE(std::holds_alternative<UpToDate>(decideBody(0, R"({)" + tail.substr(2))));
}

TEST(Feed, UrlAndDigestAreCheckedBeforeTheVersion) {
    auto unusable = [](std::int64_t current, const std::string& body) {
        return std::holds_alternative<FeedUnusable>(decideBody(current, body));
    };
    // Not newer, and still a failure: the feed is broken.
    EXPECT_TRUE(unusable(42, R"({"version": 42, "url": "u.zip"})"));
    EXPECT_TRUE(unusable(42, R"({"version": 42, "sha256": "ab"})"));
    EXPECT_TRUE(unusable(41, R"({"version": 42, "url": "u.zip", "sha256": 171})"));
    EXPECT_TRUE(unusable(41, R"({"version": 42, "url": ["u.zip"], "sha256": "ab"})"));
    // Strings that name no address.
    for (const char* url : {"", "http://[::1", "http://host:99999/u.zip", "u%zz.zip"})
        EXPECT_TRUE(unusable(41, R"({"version": 42, "sha256": "ab", "url": ")" + std::string(url) + "\"}"))
            << url;
    EXPECT_TRUE(unusable(41, "[]"));
    EXPECT_TRUE(unusable(41, "not json"));
    EXPECT_TRUE(unusable(41, ""));
    EXPECT_TRUE(std::holds_alternative<FeedUnusable>(decide(41, std::nullopt, feedUrl)));
}

TEST(Feed, AddressMustBeAnAbsoluteUrl) {
    EXPECT_EQ(feedAddress("https://example.com/feed.json"), "https://example.com/feed.json");
    EXPECT_EQ(feedAddress("http://127.0.0.1:8000/f"), "http://127.0.0.1:8000/f");
    EXPECT_FALSE(feedAddress(std::nullopt));
    EXPECT_FALSE(feedAddress(""));
    EXPECT_FALSE(feedAddress("feed.json"));
    EXPECT_FALSE(feedAddress("http://[::1/feed.json"));
}
