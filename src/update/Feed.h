// The update feed: what its JSON document says, and what a check makes of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json_fwd.hpp>

namespace mirovan {

// The feed's address from the MirovanUpdateURL value: none when it is missing, not a
// string (the caller passes none), or not an absolute URL, the empty string included.
std::optional<std::string> feedAddress(const std::optional<std::string>& value);

// The members of a feed document that a check reads; all others are ignored.
struct FeedDocument {
    std::int64_t version = 0;        // 0 when absent or unusable
    std::optional<std::string> url;  // each: present only when the member is a string
    std::optional<std::string> sha256;
    // "length": the archive's size in bytes; absent, or none of the feed's, when missing
    bool lengthUsable = true;  // false when "length" is there but not a byte count
    std::optional<std::uint64_t> length;
};

// The document in a feed's body; none unless the body is JSON with an object at the top.
std::optional<FeedDocument> readFeed(std::string_view body);

// A number that converts exactly to a signed 64-bit integer; else a string holding a
// build number; else 0.
std::int64_t feedVersion(const nlohmann::json& value);

// A newer build: fetch `url` and hold it to `sha256` (lower case), `version` and, when the
// feed gave one, `length`. The feed's "name" is not used: it is not signed, and the offer
// shows what the verified bundle says of itself.
struct NewerBuild {
    std::string url;
    std::string sha256;
    std::int64_t version = 0;
    std::optional<std::uint64_t> length;
};
struct UpToDate {};
// No document, or one without a usable "url" or "sha256", or with a "length" that is not a
// byte count.
struct FeedUnusable {};

using FeedDecision = std::variant<NewerBuild, UpToDate, FeedUnusable>;

// The check's decision for the running build `current`, with "url" resolved against
// `feedUrl` (the address asked, not where a redirect led).
FeedDecision decide(std::int64_t current, const std::optional<FeedDocument>& document, const std::string& feedUrl);

}  // namespace mirovan
