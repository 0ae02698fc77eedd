// The bundled server's life: launch, its output, its exit and its stop.
#include "app/ServerProcess.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <unistd.h>

#include <csignal>
#include <utility>
#include <vector>

#include "core/ServerCommand.h"
#include "core/ServerTree.h"
#include "core/Trace.h"
#include "platform/ProcessTable.h"
#include "platform/SmallFile.h"

namespace mirovan {

namespace {

// One main-loop turn reads at most this much, so a flood of output cannot starve the window.
constexpr size_t outputPerTurn = 1 << 20;
// What is still in the pipe after the server ended is read at once, up to this much.
constexpr size_t outputAfterExit = 64 << 20;
// The readiness file holds one address; anything longer is not one.
constexpr size_t openLinkLimit = 64 << 10;
// Held in the data folder by the app whose server uses it.
constexpr const char* lockName = ".mirovan.lock";

using namespace std::chrono_literals;
// The stop: the group's SIGTERM, the grace its processes get once the server has ended,
// the SIGKILL for all that is left, and the last look.
constexpr auto terminateAfter = 6s;
constexpr auto graceAfterServer = 2s;
constexpr auto killAfter = 8s;
constexpr auto giveUpAfter = 9s;

std::vector<std::string> currentEnvironment() {
    g_auto(GStrv) env = g_get_environ();
    std::vector<std::string> entries;
    for (char** e = env; e && *e; ++e) entries.emplace_back(*e);
    return entries;
}

// Calls `tick` on `self` every tenth of a second until the source is removed.
template <void (ServerProcess::*tick)()>
guint everyTenth(ServerProcess* self) {
    return g_timeout_add(
        100,
        +[](gpointer data) -> gboolean {
            (static_cast<ServerProcess*>(data)->*tick)();
            return G_SOURCE_CONTINUE;
        },
        self);
}

}  // namespace

ServerProcess::ServerProcess(const Bundle& bundle, Events events) : bundle_(bundle), events_(std::move(events)) {}

ServerProcess::~ServerProcess() {
    for (guint source : {outputWatch_, lockRetry_, reaping_, stopTick_})
        if (source) g_source_remove(source);
}

void ServerProcess::start() {
    std::string name = bundle_.name();
    if (!isComplete(serverFiles(bundle_.resources()))) {
        events_.status(name + " is incomplete", "This copy of the app is missing its files. Download it again.");
        return;
    }
    g_autofree char* cwd = g_get_current_dir();
    data_ = dataDirectory(g_getenv("MIROVAN_DATA"), cwd, g_get_user_data_dir(), name);
    // Orphans the server leaves must come to us from its very start, to be found at the end.
    becomeSubreaper();
    lock_ = FileLock::tryTake(data_, lockName);
    // A folder we cannot write is the server's to report.
    if (lock_.held() || !lock_.usable()) return launch();
    trace("server-waits");
    events_.status("Waiting for the last " + name + " to end\u2026",
                   "The copy of " + name + " you quit is still stopping its server.");
    lockRetry_ = everyTenth<&ServerProcess::onLockTry>(this);
}

void ServerProcess::onLockTry() {
    lock_ = FileLock::tryTake(data_, lockName);
    if (!lock_.held()) return;
    g_source_remove(std::exchange(lockRetry_, 0));
    events_.status("Starting " + bundle_.name() + "\u2026", "");
    launch();
}

void ServerProcess::launch() {
    std::string name = bundle_.name();
    ServerCommand command = serverCommand(serverFiles(bundle_.resources()), data_, currentEnvironment());
    auto launched = ChildProcess::spawn({command.argv, command.directory, command.environment});
    if (!launched) {
        events_.status(name + " couldn't start", launched.cause());
        return;
    }
    shell_ = *std::move(launched);
    // The server's orphans that end while it runs are ours to collect.
    reaping_ = g_timeout_add_seconds(
        5,
        +[](gpointer self) -> gboolean {
            static_cast<ServerProcess*>(self)->onReapTime();
            return G_SOURCE_CONTINUE;
        },
        this);

    outputWatch_ = g_unix_fd_add(
        shell_->outputFd(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        +[](int, GIOCondition, gpointer self) -> gboolean {
            auto* server = static_cast<ServerProcess*>(self);
            server->onOutput();
            if (!server->outputEnded_) return G_SOURCE_CONTINUE;
            server->outputWatch_ = 0;
            return G_SOURCE_REMOVE;
        },
        this);
    if (shell_->exitFd() >= 0) {
        g_unix_fd_add(
            shell_->exitFd(), G_IO_IN,
            +[](int, GIOCondition, gpointer self) -> gboolean {
                static_cast<ServerProcess*>(self)->onExit();
                return G_SOURCE_REMOVE;
            },
            this);
    } else {
        // Kernels without pidfd: GLib's child watch reaps instead.
        g_child_watch_add(
            shell_->pid(), +[](GPid, int, gpointer self) { static_cast<ServerProcess*>(self)->onExit(); }, this);
    }
}

void ServerProcess::onReapTime() { reapAdopted(shell_->pid()); }

void ServerProcess::catchUp() {
    if (shell_) read(outputPerTurn);
}

size_t ServerProcess::read(size_t limit) {
    if (outputEnded_) return 0;
    std::string bytes;
    bool ended = false;
    while (bytes.size() < limit) {
        auto result = shell_->read(bytes, 64 * 1024);
        if (result && *result == ChildProcess::Read::empty) break;
        if (!result) g_warning("%s %s", result.why().c_str(), result.cause().c_str());
        if (!result || *result == ChildProcess::Read::end) {
            ended = true;
            break;
        }
    }
    std::string text = decoder_.decode(bytes);
    if (ended) {
        // A character cut off by the end of output becomes U+FFFD.
        text += decoder_.finish();
        outputEnded_ = true;
    }
    if (!text.empty()) shellSaid(text);
    return bytes.size();
}

void ServerProcess::onOutput() { read(outputPerTurn); }

void ServerProcess::onExit() {
    if (!shell_) return;
    // Everything the server wrote before it ended belongs to its report.
    size_t drained = 0;
    while (!outputEnded_ && drained < outputAfterExit) {
        size_t n = read(outputPerTurn);
        if (n == 0) break;
        drained += n;
    }
    shell_->reap();
    trace("server-exited");
    // Ending: what it left behind is dealt with now rather than at the next look.
    if (stopping_) return onStopTick();
    events_.status(bundle_.name() + " stopped", stoppedDetail(output_.log()));
    // What it started ends with it, as at a stop: a server under a launcher that was killed
    // would otherwise run on, unseen, while the app says it stopped.
    stopAt_ = std::chrono::steady_clock::now();
    stopTick_ = everyTenth<&ServerProcess::onStopTick>(this);
    onStopTick();
}

void ServerProcess::shellSaid(std::string_view text) {
    std::string openLink = data_ + "/open-link";
    auto page =
        output_.said(text, [&] { return readSmallFile(AT_FDCWD, openLink.c_str(), openLinkLimit).value(); });
    if (!page) return;
    trace("ready-line");
    events_.ready(*page);
}

void ServerProcess::stop(std::function<void()> ended) {
    if (stopping_) return;
    stopping_ = true;
    ended_ = std::move(ended);
    if (lockRetry_) g_source_remove(std::exchange(lockRetry_, 0));
    if (!shell_) return finish();
    shell_->closeInput();
    // Already clearing up after a server that ended by itself: that finishes the stop.
    if (stopTick_) return;
    stopAt_ = std::chrono::steady_clock::now();
    stopTick_ = everyTenth<&ServerProcess::onStopTick>(this);
}

void ServerProcess::onStopTick() {
    if (!stopTick_) return;  // already finished
    auto elapsed = std::chrono::steady_clock::now() - stopAt_;
    bool running = shell_->running();
    if (running && elapsed >= terminateAfter && !groupTerminated_) {
        trace("server-terminated");
        shell_->signalGroup(SIGTERM);
        groupTerminated_ = true;
    }
    if (running && elapsed < killAfter) return;
    if (!running && !serverEndedAt_) serverEndedAt_ = elapsed;
    reapAdopted(shell_->pid());
    auto spared = detachedScripts();
    auto left =
        serverProcesses(readProcessTable(), {getpid(), getpgrp(), shell_->pid(), {spared.begin(), spared.end()}});
    if (left.empty() || elapsed >= giveUpAfter) {
        if (stopping_) return finish();
        g_source_remove(std::exchange(stopTick_, 0));
        return;
    }
    bool kill = elapsed >= killAfter || (serverEndedAt_ && elapsed >= *serverEndedAt_ + graceAfterServer);
    for (int pid : left) {
        if (kill)
            ::kill(pid, SIGKILL);
        else if (terminated_.insert(pid).second)
            ::kill(pid, SIGTERM);
    }
}

void ServerProcess::finish() {
    if (stopTick_) g_source_remove(std::exchange(stopTick_, 0));
    if (reaping_) g_source_remove(std::exchange(reaping_, 0));
    if (shell_) shell_->reap();
    lock_.release();
    trace("server-ended");
    if (auto ended = std::exchange(ended_, nullptr)) ended();
}

}  // namespace mirovan
