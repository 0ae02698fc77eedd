// Reading the feed document and deciding on it: plain values in, a decision out.
#include "update/Feed.h"

#include <glib.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "update/Version.h"

namespace mirovan {

namespace {

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// "url" against the feed's address by the rules of relative references; none when
// either does not parse. An empty reference names nothing, not the feed itself.
std::optional<std::string> resolve(const std::string& feedUrl, const std::string& reference) {
    if (reference.empty()) return std::nullopt;
    g_autofree char* resolved = g_uri_resolve_relative(feedUrl.c_str(), reference.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!resolved) return std::nullopt;
    return std::string(resolved);
}

std::string lowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

std::optional<std::string> feedAddress(const std::optional<std::string>& value) {
    if (!value || !g_uri_is_valid(value->c_str(), G_URI_FLAGS_NONE, nullptr)) return std::nullopt;
    return value;
}

std::int64_t feedVersion(const nlohmann::json& value) {
    using limits = std::numeric_limits<std::int64_t>;
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto n = value.get<std::uint64_t>();
        return n <= static_cast<std::uint64_t>(limits::max()) ? static_cast<std::int64_t>(n) : 0;
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // -2^63 and 2^63 are exact doubles; the range is half-open because 2^63 itself
        // does not fit.
        constexpr double low = -9223372036854775808.0;
        constexpr double high = 9223372036854775808.0;
        if (std::isfinite(d) && d == std::trunc(d) && d >= low && d < high) return static_cast<std::int64_t>(d);
        return 0;
    }
    if (value.is_string()) return buildNumber(value.get_ref<const std::string&>());
    return 0;
}

std::optional<FeedDocument> readFeed(std::string_view body) {
    auto json = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return std::nullopt;  // a failed parse is "discarded", not an object
    FeedDocument document;
    if (auto it = json.find("version"); it != json.end()) document.version = feedVersion(*it);
    document.url = stringMember(json, "url");
    document.sha256 = stringMember(json, "sha256");
    if (auto it = json.find("length"); it != json.end()) {
        document.lengthUsable = it->is_number_unsigned() || (it->is_number_integer() && it->get<std::int64_t>() >= 0);
        if (document.lengthUsable) document.length = it->get<std::uint64_t>();
    }
    return document;
}

FeedDecision decide(std::int64_t current, const std::optional<FeedDocument>& document, const std::string& feedUrl) {
    // The archive's address and digest must be usable before the version is looked at,
    // so a broken feed shows as broken even when it offers nothing newer.
    if (!document || !document->url || !document->sha256 || !document->lengthUsable) return FeedUnusable{};
    auto url = resolve(feedUrl, *document->url);
    if (!url) return FeedUnusable{};
    if (!(current < document->version)) return UpToDate{};
    return NewerBuild{*url, lowerCase(*document->sha256), document->version, document->length};
}

}  // namespace mirovan
