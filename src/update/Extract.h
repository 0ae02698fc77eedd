// Extracting an update archive (ZIP) into a directory, keeping modes and symlinks, and
// refusing anything that would land outside it.
#pragma once

#include <string>

#include "update/Refusal.h"

namespace mirovan {

// Refused when the archive cannot be read or any entry is unsafe: an absolute path, a ".."
// component, a path through a symlink, a symlink whose target leaves the directory, or a
// set-id bit. Nothing is written outside `into`, which must exist; what was written inside
// it before a refusal stays there for the caller to delete.
Checked<> extractZip(const std::string& archive, const std::string& into);

}  // namespace mirovan
