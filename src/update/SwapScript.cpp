// The swap script's text, piece by piece in the order the shell runs it.
#include "update/SwapScript.h"

#include "core/Bundle.h"

namespace mirovan {

namespace {

// exec and test take no "--", so no operand may start with "-" (or be taken for an option).
std::string operand(const std::string& path) { return quoteWord(path.starts_with('/') ? path : "./" + path); }

}  // namespace

std::string quoteWord(const std::string& path) {
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string swapScript(const SwapPlan& plan) {
    const std::string here = operand(plan.here), programs = "/Contents/Linux/";
    std::string script = "while kill -0 " + std::to_string(plan.pid) + " 2>/dev/null; do sleep 0.2; done\n";
    // A bundle the desktop could not start is never installed.
    const bool swap = plainFileName(plan.newProgram);
    if (swap) {
        const std::string staged = "\"$tmp/new\"" + quoteWord(programs + plan.newProgram);
        // mktemp makes a folder no file of the user's can already sit at, beside the bundle so
        // that the swap is renames within one filesystem; mv -T never moves into a folder
        // that turned up at `here` meanwhile.
        script += "swapped=\n";
        script += "if tmp=$(mktemp -d -- " + operand(plan.here + ".swap.XXXXXX") + "); then\n";
        script += "  if mv -- " + operand(plan.newApp) + " \"$tmp/new\" && [ -f " + staged + " ] && [ -x " + staged +
                  " ] &&\n";
        script += "     mv -T -- " + here + " \"$tmp/old\"; then\n";
        script +=
            "    if mv -T -- \"$tmp/new\" " + here + "; then swapped=1; else mv -T -- \"$tmp/old\" " + here + "; fi\n";
        script += "  fi\n";
        // A partial copy goes; the old bundle only once the new one stands in its place.
        script += "  if [ -n \"$swapped\" ] || [ ! -e \"$tmp/old\" ]; then rm -rf -- \"$tmp\"; fi\n";
        script += "fi\n";
    }
    script += "rm -rf -- " + operand(plan.work) + "\n";
    if (!plan.relaunch) return script;
    // The old bundle's own program when the swap did not happen, else the other plain name:
    // either way only a file inside the bundle that stays.
    const std::string& kept = plainFileName(plan.oldProgram) ? plan.oldProgram : plan.newProgram;
    if (swap) script += "[ -n \"$swapped\" ] && exec " + operand(plan.here + programs + plan.newProgram) + "\n";
    if (plainFileName(kept)) script += "exec " + operand(plan.here + programs + kept) + "\n";
    return script;
}

}  // namespace mirovan
