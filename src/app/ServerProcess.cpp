// The bundled server's life: launch, its output, its exit and its stop.
#include "app/ServerProcess.h"

#include <fcntl.h>
#include <glib-unix.h>

#include <chrono>
#include <utility>
#include <vector>

#include "core/ServerCommand.h"
#include "core/Trace.h"
#include "platform/SmallFile.h"

namespace mirovan {

namespace {

// One main-loop turn reads at most this much, so a flood of output cannot starve the window.
constexpr size_t outputPerTurn = 1 << 20;
// What is still in the pipe after the server ended is read at once, up to this much.
constexpr size_t outputAfterExit = 64 << 20;
// The readiness file holds one address; anything longer is not one.
constexpr size_t openLinkLimit = 64 << 10;

std::vector<std::string> currentEnvironment() {
    g_auto(GStrv) env = g_get_environ();
    std::vector<std::string> entries;
    for (char** e = env; e && *e; ++e) entries.emplace_back(*e);
    return entries;
}

}  // namespace

ServerProcess::ServerProcess(const Bundle& bundle, Events events) : bundle_(bundle), events_(std::move(events)) {}

ServerProcess::~ServerProcess() {
    if (outputWatch_) g_source_remove(outputWatch_);
}

void ServerProcess::start() {
    std::string name = bundle_.name();
    ServerFiles files = serverFiles(bundle_.resources());
    if (!isComplete(files)) {
        events_.failed(name + " is incomplete", "This copy of the app is missing its files. Download it again.");
        return;
    }
    g_autofree char* cwd = g_get_current_dir();
    data_ = dataDirectory(g_getenv("MIROVAN_DATA"), cwd, g_get_user_data_dir(), name);
    ServerCommand command = serverCommand(files, data_, currentEnvironment());
    auto launched = ChildProcess::spawn({command.argv, command.directory, command.environment});
    if (!launched) {
        events_.failed(name + " couldn't start", launched.cause());
        return;
    }
    shell_ = *std::move(launched);

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
    if (stopping_) return;
    events_.failed(bundle_.name() + " stopped", stoppedDetail(output_.log()));
}

void ServerProcess::shellSaid(std::string_view text) {
    std::string openLink = data_ + "/open-link";
    auto page = output_.said(text, [&]() -> std::optional<std::string> {
        auto link = readSmallFile(AT_FDCWD, openLink.c_str(), openLinkLimit);
        if (!link) return std::nullopt;
        return *std::move(link);
    });
    if (!page) return;
    trace("ready-line");
    events_.ready(*page);
}

void ServerProcess::stop() {
    if (stopping_) return;
    stopping_ = true;
    if (!shell_) return;
    shell_->closeInput();
    using namespace std::chrono;
    if (shell_->waitForExit(steady_clock::now() + seconds(6), milliseconds(100)))
        shell_->reap();
    else
        shell_->terminate();
}

}  // namespace mirovan
