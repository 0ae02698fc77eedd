// Which processes are the server's when the app ends it: the server, its process group,
// and everything below it, even what left its group or session by a double fork.
#pragma once

#include <set>
#include <vector>

#include "platform/ProcessTable.h"

namespace mirovan {

struct Lineage {
    pid_t app;               // this process, the subreaper that adopts the server's orphans
    pid_t appGroup;          // the app's own group: WebKit's helpers and what the desktop launched
    pid_t server;            // the server, also the leader of its group
    std::set<pid_t> spared;  // the app's own detached children (the swap script), and below them
};

// The pids of `table` to signal, in table order.
std::vector<pid_t> serverProcesses(const std::vector<ProcessEntry>& table, const Lineage& lineage);

}  // namespace mirovan
