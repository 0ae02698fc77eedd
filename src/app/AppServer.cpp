// The bundled server from start to stop: launch, its output, its exit and termination.
#include <glib-unix.h>

#include <chrono>

#include "app/App.h"
#include "app/Dialogs.h"
#include "app/Downloads.h"
#include "app/Updates.h"
#include "core/ServerCommand.h"
#include "core/Trace.h"

namespace mirovan {

namespace {

// One main-loop turn reads at most this much, so a flood of output cannot starve the window.
constexpr size_t outputPerTurn = 1 << 20;
// What is still in the pipe after the server ended is read at once, up to this much.
constexpr size_t outputAfterExit = 64 << 20;

std::vector<std::string> currentEnvironment() {
    g_auto(GStrv) env = g_get_environ();
    std::vector<std::string> entries;
    for (char** e = env; e && *e; ++e) entries.emplace_back(*e);
    return entries;
}

std::optional<std::string> readText(const std::string& path) {
    g_autofree char* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return std::nullopt;
    return std::string(contents, length);
}

}  // namespace

void App::startShell() {
    ServerFiles files = serverFiles(bundle_.resources());
    if (!isComplete(files)) {
        status(name() + " is incomplete", "This copy of the app is missing its files. Download it again.");
        return;
    }
    g_autofree char* cwd = g_get_current_dir();
    data = dataDirectory(g_getenv("MIROVAN_DATA"), cwd, g_get_user_data_dir(), name());
    ServerCommand command = serverCommand(files, data, currentEnvironment());
    auto launched = ChildProcess::spawn({command.argv, command.directory, command.environment});
    if (!launched) {
        status(name() + " couldn't start", launched.cause());
        return;
    }
    shell = *std::move(launched);

    g_unix_fd_add(
        shell->outputFd(), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        +[](int, GIOCondition, gpointer self) -> gboolean {
            auto* app = static_cast<App*>(self);
            app->onShellOutput();
            return app->outputEnded_ ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        this);
    if (shell->exitFd() >= 0) {
        g_unix_fd_add(
            shell->exitFd(), G_IO_IN,
            +[](int, GIOCondition, gpointer self) -> gboolean {
                static_cast<App*>(self)->onShellExit();
                return G_SOURCE_REMOVE;
            },
            this);
    } else {
        // Kernels without pidfd: GLib's child watch reaps instead.
        g_child_watch_add(
            shell->pid(), +[](GPid, int, gpointer self) { static_cast<App*>(self)->onShellExit(); }, this);
    }
}

size_t App::readShell(size_t limit) {
    if (outputEnded_) return 0;
    std::string bytes;
    bool ended = false;
    while (bytes.size() < limit) {
        auto result = shell->read(bytes, 64 * 1024);
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

void App::onShellOutput() { readShell(outputPerTurn); }

void App::onShellExit() {
    if (!shell) return;
    // Everything the server wrote before it ended belongs to its report.
    size_t drained = 0;
    while (!outputEnded_ && drained < outputAfterExit) {
        size_t n = readShell(outputPerTurn);
        if (n == 0) break;
        drained += n;
    }
    shell->reap();
    trace("server-exited");
    if (quitting) return;
    status(name() + " stopped", stoppedDetail(output.log()));
}

void App::shellSaid(std::string_view text) {
    auto page = output.said(text, [this] { return readText(data + "/open-link"); });
    if (!page) return;
    trace("ready-line");
    showingStatus_ = false;
    if (!web) return;  // launch loads it
    web->loadPage(*page);
    trace("page-request");
}

void App::terminate() {
    if (quitting) return;
    quitting = true;
    if (saveTimer_) {
        g_source_remove(saveTimer_);
        saveTimer_ = 0;
    }
    saveWindowState();
    dropUnfinishedDownloads();
    if (updates_) updates_->installAtQuit();
    if (!shell) return;
    shell->closeInput();
    using namespace std::chrono;
    if (shell->waitForExit(steady_clock::now() + seconds(6), milliseconds(100)))
        shell->reap();
    else
        shell->terminate();
}

void App::quit() {
    // A page waiting on its dialog gets Cancel, as if the user had pressed it.
    closePageDialogs();
    terminate();
    if (application_) g_application_quit(G_APPLICATION(application_));
}

}  // namespace mirovan
