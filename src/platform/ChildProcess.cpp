// posix_spawn with close-on-exec pipes and a pidfd: no other child can inherit the
// server's standard input, so the server sees end of file however this process ends.
#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Interrupted.h"

namespace mirovan {

namespace {

struct Pipe {
    Fd read, write;
};

// Close-on-exec from the start, so no other child can ever inherit either end.
int openPipe(Pipe& pipe) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    pipe.read = Fd(fds[0]);
    pipe.write = Fd(fds[1]);
    return 0;
}

// Nothing blocked and the usual dispositions for the signals the app handles or ignores
// itself: the child must not inherit our GLib signal handling.
void cleanAttributes(posix_spawnattr_t& attr, short flags) {
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, flags | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

Refusal notStarted(int error) { return {"The program couldn't be started.", strerror(error)}; }

std::vector<int>& detached() {
    static std::vector<int> pids;
    return pids;
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

Checked<std::unique_ptr<ChildProcess>> ChildProcess::spawn(const Command& command) {
    Pipe in, out;
    if (int error = openPipe(in)) return notStarted(error);
    if (int error = openPipe(out)) return notStarted(error);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 0, 1 and 2 clears close-on-exec there only; every other descriptor of
    // ours, these pipes' other ends included, closes at exec.
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 2);
    posix_spawn_file_actions_addchdir_np(&actions, command.directory.c_str());

    // Its own process group: a terminal's Ctrl-C reaches the app, which stops the server.
    posix_spawnattr_t attr;
    cleanAttributes(attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    auto argv = pointers(command.argv);
    auto envp = pointers(command.environment);
    pid_t pid = -1;
    int error = posix_spawn(&pid, command.argv[0].c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0) return notStarted(error);

    std::unique_ptr<ChildProcess> child(new ChildProcess());
    child->pid_ = pid;
    child->pidfd_ = Fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    child->input_ = std::move(in.write);
    child->output_ = std::move(out.read);
    fcntl(child->output_.get(), F_SETFL, fcntl(child->output_.get(), F_GETFL) | O_NONBLOCK);
    if (child->pidfd_) fcntl(child->pidfd_.get(), F_SETFD, FD_CLOEXEC);
    return child;
}

ChildProcess::~ChildProcess() = default;

Checked<ChildProcess::Read> ChildProcess::read(std::string& into, size_t limit) {
    size_t before = into.size();
    into.resize(before + limit);
    ssize_t n = uninterrupted([&] { return ::read(output_.get(), into.data() + before, limit); });
    into.resize(before + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) return Read::data;
    if (n == 0) return Read::end;
    if (errno == EAGAIN) return Read::empty;
    return Refusal{"The program's output couldn't be read.", strerror(errno)};
}

void ChildProcess::closeInput() { input_ = Fd(); }

bool ChildProcess::running() const {
    if (reaped_) return false;
    if (pidfd_) {
        pollfd p{pidfd_.get(), POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

bool ChildProcess::waitForExit(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds interval) {
    while (running()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        auto step = std::min(interval, left);
        // The pidfd wakes us as soon as the child ends; without one, sleep the step.
        if (pidfd_) {
            pollfd p{pidfd_.get(), POLLIN, 0};
            poll(&p, 1, static_cast<int>(step.count()));
        } else {
            std::this_thread::sleep_for(step);
        }
    }
    return true;
}

void ChildProcess::terminate() {
    if (reaped_) return;
    if (pidfd_ && syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGTERM, nullptr, 0) == 0) return;
    kill(pid_, SIGTERM);
}

void ChildProcess::signalGroup(int signal) { kill(-pid_, signal); }

void ChildProcess::reap() {
    if (reaped_) return;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != 0) reaped_ = true;
}

Checked<> launchDetachedScript(const std::string& script) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    cleanAttributes(attr, POSIX_SPAWN_SETSID);
    std::vector<std::string> args = {"/bin/sh", "-c", script};
    auto argv = pointers(args);
    pid_t pid = -1;
    int error = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (error != 0) return Refusal{"The installer couldn't be started.", std::string("/bin/sh: ") + strerror(error)};
    detached().push_back(pid);
    return accepted();
}

std::vector<int> detachedScripts() { return detached(); }

}  // namespace mirovan
