// /proc and prctl: the process table, the subreaper and its reaping.
#include "platform/ProcessTable.h"

#include <dirent.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Owned.h"

namespace mirovan {

namespace {

// Field 3 (state), 4 (ppid) and 5 (pgrp) of /proc/PID/stat, after the command name,
// which may hold anything, spaces and parentheses included: it ends at the last ')'.
bool readStat(const std::string& path, char& state, ProcessEntry& entry) {
    Owned<FILE, fclose> file(fopen(path.c_str(), "re"));
    if (!file) return false;
    char text[1024];
    size_t n = fread(text, 1, sizeof text - 1, file.get());
    text[n] = '\0';
    const char* end = strrchr(text, ')');
    int parent = 0, group = 0;
    if (!end || sscanf(end + 1, " %c %d %d", &state, &parent, &group) != 3) return false;
    entry.parent = parent;
    entry.group = group;
    return true;
}

std::vector<pid_t> numbers(const char* folder) {
    std::vector<pid_t> out;
    Owned<DIR, closedir> dir(opendir(folder));
    if (!dir) return out;
    while (dirent* e = readdir(dir.get()))
        if (pid_t pid = static_cast<pid_t>(atoi(e->d_name)); pid > 0) out.push_back(pid);
    return out;
}

}  // namespace

std::vector<ProcessEntry> readProcessTable() {
    std::vector<ProcessEntry> table;
    for (pid_t pid : numbers("/proc")) {
        ProcessEntry entry{pid, 0, 0};
        char state = 0;
        if (readStat("/proc/" + std::to_string(pid) + "/stat", state, entry) && state != 'Z' && state != 'X')
            table.push_back(entry);
    }
    return table;
}

void becomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

void reapAdopted(pid_t except) {
    // An adopted orphan becomes the child of whichever of our threads the kernel picks.
    pid_t group = getpgrp();
    for (pid_t task : numbers("/proc/self/task")) {
        std::string children(4096, '\0');
        Owned<FILE, fclose> file(fopen(("/proc/self/task/" + std::to_string(task) + "/children").c_str(), "re"));
        if (!file) continue;
        children.resize(fread(children.data(), 1, children.size() - 1, file.get()));
        const char* p = children.c_str();
        char* end = nullptr;
        for (long pid = strtol(p, &end, 10); end != p; p = end, pid = strtol(p, &end, 10)) {
            if (pid == except || getpgid(static_cast<pid_t>(pid)) == group) continue;
            waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
        }
    }
}

}  // namespace mirovan
