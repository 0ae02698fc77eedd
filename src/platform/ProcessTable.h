// The system's live processes as the server's stop sees them, and what this process
// does as the reaper of the orphans below it.
#pragma once

#include <sys/types.h>

#include <vector>

namespace mirovan {

struct ProcessEntry {
    pid_t pid;
    pid_t parent;
    pid_t group;
};

// Every process still running (zombies left out), read from /proc.
std::vector<ProcessEntry> readProcessTable();

// Orphans below this process become its children rather than init's, so that a server's
// worker that left its group or session can still be found.
void becomeSubreaper();

// Collects the orphans this process adopted that have ended: children outside its own
// process group (its own helpers, which GLib and WebKit wait for, stay in it), but `except`.
void reapAdopted(pid_t except);

}  // namespace mirovan
