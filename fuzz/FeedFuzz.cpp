// Feed bodies come from the network: reading and deciding must not crash, and an offer of
// a newer build must say only what the document said.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/Feed.h"

using namespace mirovan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto document = readFeed({reinterpret_cast<const char*>(data), size});
    // The document's "url" doubles as the feed's address, so odd bases get resolved too.
    const std::string feeds[] = {"https://updates.example.com/mirovan/feed.json",
                                 document && document->url ? *document->url : ""};
    for (const std::string& feed : feeds) {
        for (std::int64_t current : {std::int64_t(41), document ? document->version : 0}) {
            FeedDecision decision = decide(current, document, feed);
            if (!document && !std::holds_alternative<FeedUnusable>(decision)) std::abort();
            auto* newer = std::get_if<NewerBuild>(&decision);
            if (!newer) continue;
            std::string sha = *document->sha256;
            for (char& c : sha) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            if (newer->version != document->version || newer->version <= current || newer->url.empty() ||
                newer->sha256 != sha || newer->length != document->length)
                std::abort();
        }
    }
    return 0;
}
