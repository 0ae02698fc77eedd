// Extracting an update archive (ZIP) into a directory, keeping modes and symlinks, and
// refusing anything that would land outside it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

// How much an archive may unpack to; an archive that would pass a bound is refused as
// soon as it does, so an archive cannot fill the disk or keep the updater busy for ever.
struct ExtractLimits {
    std::uint64_t bytes = 0;                                             // file contents, all entries together
    std::uint64_t entries = 0;                                           // files, folders and links
    long seconds = 0;                                                    // the whole extraction; 0: no bound
    Refusal full{"the archive unpacks to more than there is room for"};  // past `bytes`
};

// Never more than the scratch filesystem can take while keeping its spare margin free
// (Room.h), at most 1,000,000 entries (far more than a real bundle, node_modules and all,
// holds) and 10 minutes. The archive's size does not count: a genuine bundle may compress
// far better than any ratio we would pick.
ExtractLimits extractLimits(std::uint64_t freeBytes);

// Refused when the archive cannot be read or any entry is unsafe: an absolute path, a ".."
// component, a path through a symlink, a symlink whose target leaves the directory, or a
// set-id bit. Refusals that the archive's bytes alone decide are lasting. Nothing is written outside `into`, which must exist; what was written inside
// it before a refusal stays there for the caller to delete.
Checked<> extractZip(const std::string& archive, const std::string& into, const ExtractLimits& limits);

}  // namespace mirovan
