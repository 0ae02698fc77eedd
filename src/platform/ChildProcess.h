// A child process with a pipe on its standard input that only we hold and one pipe for
// its standard output and error, in a process group of its own.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/Checked.h"
#include "platform/Owned.h"

namespace mirovan {

class ChildProcess {
public:
    struct Command {
        std::vector<std::string> argv;         // argv[0] is the program's full path
        std::string directory;                 // where it starts
        std::vector<std::string> environment;  // NAME=value entries, the whole environment
    };

    // The child, or why it could not be launched (the cause is the system's own words).
    static Checked<std::unique_ptr<ChildProcess>> spawn(const Command& command);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int pid() const { return pid_; }
    // Readable once the child has ended (a pidfd); for the main loop to watch.
    int exitFd() const { return pidfd_.get(); }
    // The non-blocking read end of the output pipe; for the main loop to watch.
    int outputFd() const { return output_.get(); }

    enum class Read { data, empty, end };
    // Appends what can be read now, at most `limit` bytes; refused when the pipe fails,
    // after which nothing more can be read.
    Checked<Read> read(std::string& into, size_t limit);

    // Closes our end of the standard input: the child sees end of file.
    void closeInput();
    bool running() const;
    // Waits until the child has ended or the deadline passes, looking every `interval`.
    bool waitForExit(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds interval);
    // Sends SIGTERM to the child (not to its group).
    void terminate();
    // Sends `signal` to the child's process group, which it leads.
    void signalGroup(int signal);
    // Collects the ended child's status so that no zombie stays.
    void reap();

private:
    ChildProcess() = default;
    int pid_ = -1;
    Fd pidfd_;
    Fd input_;
    Fd output_;
    bool reaped_ = false;
};

// Starts `script` with /bin/sh in a session of its own, so that it outlives this process
// and no terminal's hang-up reaches it. Its standard streams and environment are ours;
// every other descriptor closes. Nothing waits for it; a launch that failed says why.
Checked<> launchDetachedScript(const std::string& script);
// The pids of the scripts launched so far, which must outlive the app.
std::vector<int> detachedScripts();

}  // namespace mirovan
