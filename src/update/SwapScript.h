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

// Waits for the app to end, then stages the update in a fresh folder beside `here`, named
// `<here>.swap.<the script's pid>.XXXXXX` (a copy when it comes from another filesystem),
// and runs the staged bundle's own program in its swap mode (update/Exchange.h), which
// exchanges the two bundles in one step, cleans up and relaunches. Only when staging fails
// or that program cannot run at all does the script itself remove the staging folder and
// `work` and, with `relaunch`, start the old bundle's program again; `here` is then as it
// was. No swap is tried when the new program is not a plain file name.
std::string swapScript(const SwapPlan& plan);

}  // namespace mirovan
