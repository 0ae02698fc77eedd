// The last archive the updater refused for good, kept beside the scratch folder so that
// neither this run nor the next downloads the same bytes again to refuse them again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Checked.h"

namespace mirovan {

// An archive is known by its digest and the build the feed said it was: a feed that fixes
// its version for the same bytes deserves another look.
struct RefusedArchive {
    std::string sha256;  // as the feed gave it, lower case
    std::int64_t version = 0;
    Refusal refusal;  // what the user was, and is again, told
};

// The file's text: the digest, the version, why and cause on a line each (line breaks in them become
// spaces), and never more than `refusedLimit` bytes.
std::string refusedText(const RefusedArchive& refused);
// The record in such a text; none for anything else.
std::optional<RefusedArchive> readRefused(std::string_view text);
inline constexpr std::size_t refusedLimit = 4096;

// <cache>/<identifier>/refused beside the scratch folder `work`.
std::string refusedFile(const std::string& work);
// Replaces the record at `file` atomically; false when it could not be written.
bool rememberRefused(const std::string& file, const RefusedArchive& refused);
// The record at `file`, if there is a readable one.
std::optional<RefusedArchive> recallRefused(const std::string& file);

}  // namespace mirovan
