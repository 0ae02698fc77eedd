// The manifest is signed text from an update: it parses only when it is exactly the text
// the serializer writes, and the symlink rule over its entries always ends.
#include <cstdint>
#include <cstdlib>

#include "update/Manifest.h"

using namespace mirovan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto manifest = parseManifest(text);
    if (!manifest) return 0;
    if (serialize(*manifest) != text) std::abort();
    // Parsed entries carry no link targets: give each link the path of the entry after it,
    // climbing (mode & 7) folders first, so chains, loops and climbs all come up.
    auto& entries = manifest->entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->second.kind != EntryKind::Symlink) continue;
        auto next = std::next(it) == entries.end() ? entries.begin() : std::next(it);
        for (unsigned up = it->second.mode & 7; up; --up) it->second.target += "../";
        it->second.target += next->first;
    }
    for (const auto& [path, entry] : entries) (void)staysInside(entries, path);
    return 0;
}
