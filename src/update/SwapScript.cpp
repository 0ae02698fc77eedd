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
    const std::string programs = "/Contents/Linux/";
    std::string script = "while kill -0 " + std::to_string(plan.pid) + " 2>/dev/null; do sleep 0.2; done\n";
    // A bundle the desktop could not start is never installed.
    if (plainFileName(plan.newProgram)) {
        // mktemp makes a folder no file of the user's can already sit at, beside the bundle so
        // that the exchange stays within one filesystem; the pid in its name tells a later
        // start whether this swap still runs.
        script += "if tmp=$(mktemp -d -- " + operand(plan.here + ".swap.") + "\"$$\"'.XXXXXX'); then\n";
        script += "  mv -- " + operand(plan.newApp) + " \"$tmp/new\" && \"$tmp/new\"" +
                  quoteWord(programs + plan.newProgram) + " --install-update \"$tmp\" " + operand(plan.here) + " " +
                  operand(plan.work) + (plan.relaunch ? " relaunch " : " stay ") + quoteWord(plan.oldProgram) + " " +
                  quoteWord(plan.newProgram) + " && exit\n";
        // Staging failed, or the new program could not run: nothing was exchanged.
        script += "  rm -rf -- \"$tmp\"\n";
        script += "fi\n";
    }
    script += "rm -rf -- " + operand(plan.work) + "\n";
    if (plan.relaunch && plainFileName(plan.oldProgram))
        script += "exec " + operand(plan.here + programs + plan.oldProgram) + "\n";
    return script;
}

}  // namespace mirovan
