// Extracting an update archive (ZIP) into a directory, keeping modes and symlinks, and
// refusing anything that would land outside it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

// How much an archive may unpack to; an archive that would pass either bound is refused
// as soon as it does, so a small archive cannot fill the disk or take minutes of entries.
struct ExtractLimits {
    std::uint64_t bytes = 0;    // file contents, all entries together
    std::uint64_t entries = 0;  // files, folders and links
};

// At most 32 times the archive's size, never more than the scratch filesystem can take
// while keeping 64 MiB free, and at most 100,000 entries.
ExtractLimits extractLimits(std::uint64_t archiveSize, std::uint64_t freeBytes);

// Refused when the archive cannot be read or any entry is unsafe: an absolute path, a ".."
// component, a path through a symlink, a symlink whose target leaves the directory, or a
// set-id bit. Nothing is written outside `into`, which must exist; what was written inside
// it before a refusal stays there for the caller to delete.
Checked<> extractZip(const std::string& archive, const std::string& into, const ExtractLimits& limits);

}  // namespace mirovan
