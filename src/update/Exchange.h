// The new bundle's own program in its swap mode, run by the swap script (SwapScript.h) once
// the app has ended: it exchanges the staged bundle with the running one in one step, so
// that the bundle's path never lacks a whole bundle, then cleans up, writes the launcher
// entry and relaunches. And the clean-up of what a killed swap left.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/Checked.h"
#include "platform/Owned.h"

namespace mirovan {

struct SwapRequest {
    std::string staging;     // the script's <here>.swap.<pid>.XXXXXX folder; the new bundle is its "new"
    std::string here;        // the bundle's path
    std::string work;        // the scratch folder, removed in any case
    bool relaunch = false;   // start the bundle at `here` at the end
    std::string oldProgram;  // here's program before the swap
    std::string newProgram;  // the staged bundle's program
};

// The program's arguments when they ask for the swap mode:
// --install-update STAGING HERE WORK relaunch|stay OLD-PROGRAM NEW-PROGRAM.
std::optional<SwapRequest> swapRequest(int argc, char** argv);

// The swap mode, step by step. Every path is looked at through folders it opened itself, by
// device and inode, so nothing renamed meanwhile can stand in for a bundle.
class Exchange {
public:
    // Opens the folder holding `here` and the staging folder, and notes both bundles.
    static Checked<Exchange> open(const std::string& staging, const std::string& here);
    // Exchanges the staged bundle with the one at `here` in one rename (RENAME_EXCHANGE) and
    // checks that `here` now is the staged one. A filesystem that cannot exchange leaves
    // both where they are: there is no two-rename fallback, which would leave a gap.
    Checked<> swap();
    // Removes the staging folder (the old bundle, after a swap) and `work`.
    void clear(const std::string& work) const;
    // Starts `program` of the bundle at `here`, which must be the one expected there (the
    // new one after a swap, else the old), through its folders opened without following
    // links; returns once it runs or could not.
    Checked<> relaunch(const std::string& program) const;
    bool swapped() const { return swapped_; }

private:
    struct Node {
        dev_t device;
        ino_t inode;
        bool operator==(const Node&) const = default;
    };
    std::string staging_, here_, hereName_;
    Fd folder_, stagingFolder_;
    Node old_{}, new_{};
    bool swapped_ = false;
};

// The whole swap mode; the exit status. Anything but 0 tells the script that nothing was
// exchanged, so that it cleans up and relaunches the old program itself.
int installUpdate(const SwapRequest& request);

// Removes what killed swaps left beside `here`: <here>.swap.<pid>.* folders of ours whose
// script has ended. Whatever stands at `here` stays.
void clearSwapLeftovers(const std::string& here);

}  // namespace mirovan
