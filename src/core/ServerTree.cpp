// The server's processes: found by group, or by walking up parents to the server or to an
// orphan the app adopted. The app's only children outside its own group are the server
// and its detached scripts, so any other such child is something the server left behind.
#include "core/ServerTree.h"

#include <map>

namespace mirovan {

namespace {

bool isServers(const ProcessEntry& process, const std::map<pid_t, const ProcessEntry*>& byPid, const Lineage& lineage) {
    if (process.group == lineage.server) return true;
    const ProcessEntry* at = &process;
    // Bounded: a table read while processes come and go may hold a cycle of reused pids.
    for (size_t step = 0; step <= byPid.size(); ++step) {
        if (at->pid == lineage.server) return true;
        if (lineage.spared.count(at->pid)) return false;
        if (at->parent == lineage.app) return at->group != lineage.appGroup;
        auto up = byPid.find(at->parent);
        if (up == byPid.end()) return false;
        at = up->second;
    }
    return false;
}

}  // namespace

std::vector<pid_t> serverProcesses(const std::vector<ProcessEntry>& table, const Lineage& lineage) {
    std::map<pid_t, const ProcessEntry*> byPid;
    for (const auto& process : table) byPid[process.pid] = &process;
    std::vector<pid_t> out;
    for (const auto& process : table)
        if (process.pid != lineage.app && isServers(process, byPid, lineage)) out.push_back(process.pid);
    return out;
}

}  // namespace mirovan
