// How much of the scratch filesystem an update may take, and how the user hears that it
// did not fit. Downloading and unpacking both keep the same margin free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

// Left free on the cache's filesystem whatever the update needs.
inline constexpr std::uint64_t spareBytes = 64u << 20;

// The bytes free for us on the filesystem that holds `folder`.
Checked<std::uint64_t> freeSpace(const std::string& folder);

// What an update may write where `freeBytes` are free.
std::uint64_t room(std::uint64_t freeBytes);

// A size as users read one: decimal megabytes, rounded up (`up`) or down.
std::string megabytes(std::uint64_t bytes, bool up);

// `needed` bytes do not fit where `freeBytes` are free: "The update needs 412 MB and only
// 301 MB are free." (the spare margin counted in what it needs).
Refusal noRoom(std::uint64_t needed, std::uint64_t freeBytes);
// More arrived, or unpacked, than fits where `freeBytes` were free.
Refusal outgrew(std::uint64_t freeBytes);

// How many bytes the archive's download may take: the feed's declared `length`, which must
// fit, or else all the room there is.
Checked<std::uint64_t> downloadLimit(std::optional<std::uint64_t> length, std::uint64_t freeBytes);

}  // namespace mirovan
