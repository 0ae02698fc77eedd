// The script that swaps the running bundle for a verified update once this process has
// gone, and optionally starts the app again.
#pragma once

#include <string>
#include <sys/types.h>

namespace mirovan {

// One word of /bin/sh whatever the path holds: wrapped in single quotes, each single quote
// inside written as '\''.
std::string quoteWord(const std::string& path);

// Waits for `pid` to end, moves `here` aside to here.old, moves `newApp` into its place
// (moving the old one back if that fails), removes `work`, and with `relaunch` ends by
// exec'ing here/Contents/Linux/`executable`. Paths have no trailing slash.
std::string swapScript(pid_t pid, const std::string& here, const std::string& newApp,
                       const std::string& work, bool relaunch, const std::string& executable);

}  // namespace mirovan
