// The swap script's text, piece by piece in the order the shell runs it.
#include "update/SwapScript.h"

namespace mirovan {

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

std::string swapScript(pid_t pid, const std::string& here, const std::string& newApp,
                       const std::string& work, bool relaunch, const std::string& executable) {
    const std::string old = quoteWord(here + ".old");
    const std::string current = quoteWord(here);
    std::string script = "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do sleep 0.2; done\n";
    script += "rm -rf " + old + "\n";
    script += "if mv " + current + " " + old + "; then\n";
    script += "  if mv " + quoteWord(newApp) + " " + current + "; then rm -rf " + old + "; else mv " +
              old + " " + current + "; fi\n";
    script += "fi\n";
    script += "rm -rf " + quoteWord(work) + "\n";
    // Whether or not the swap took place, whatever now lies at `here` starts.
    if (relaunch) script += "exec " + quoteWord(here + "/Contents/Linux/" + executable);
    return script;
}

}  // namespace mirovan
