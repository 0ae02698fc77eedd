// The script that swaps the running bundle for a verified update once this process has
// gone, and optionally starts the app again.
#pragma once

#include <sys/types.h>
#include <string>

namespace mirovan {

// One word of /bin/sh whatever the path holds: wrapped in single quotes, each single quote
// inside written as '\''.
std::string quoteWord(const std::string& path);

// Paths have no trailing slash. Programs are CFBundleExecutable values, used only when they
// are plain file names (core/Bundle.h), so that they can only mean a file in Contents/Linux.
struct SwapPlan {
    pid_t pid;               // the app, waited for
    std::string here;        // the running bundle, replaced
    std::string newApp;      // the verified update, moved away from its folder
    std::string work;        // the scratch folder, removed whatever happens
    bool relaunch;           // start the app again at the end
    std::string oldProgram;  // here's own program
    std::string newProgram;  // newApp's own program
};

// Waits for the app to end, stages the update in a fresh folder beside `here` (a copy when
// it comes from another filesystem), and only once that has fully worked swaps the two by
// renames within that folder, putting the old bundle back if the last rename fails. Any
// failure leaves `here` as it was. Then removes `work` and, with `relaunch`, starts the
// bundle now at `here` by its own program. No swap is tried when the new program is not a
// plain file name or not an executable in the staged bundle; no relaunch happens when no
// plain name is at hand.
std::string swapScript(const SwapPlan& plan);

}  // namespace mirovan
