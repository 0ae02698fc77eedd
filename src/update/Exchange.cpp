// The swap mode's steps and the leftovers' clean-up.
#include "update/Exchange.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "core/Bundle.h"
#include "core/LauncherFiles.h"

namespace mirovan {

namespace {

Refusal failed(const char* why) { return {why, std::strerror(errno)}; }

int openFolder(int at, const char* name) { return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void removeAll(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace

std::optional<SwapRequest> swapRequest(int argc, char** argv) {
    if (argc != 8 || std::string_view(argv[1]) != "--install-update") return std::nullopt;
    std::string_view mode = argv[5];
    if (mode != "relaunch" && mode != "stay") return std::nullopt;
    return SwapRequest{argv[2], argv[3], argv[4], mode == "relaunch", argv[6], argv[7]};
}

Checked<Exchange> Exchange::open(const std::string& staging, const std::string& here) {
    Exchange e;
    e.staging_ = staging;
    e.here_ = here;
    e.hereName_ = nameOf(here);
    e.folder_ = Fd(openFolder(AT_FDCWD, parentOf(here).c_str()));
    if (!e.folder_) return failed("The bundle's folder couldn't be opened.");
    e.stagingFolder_ = Fd(openFolder(AT_FDCWD, staging.c_str()));
    if (!e.stagingFolder_) return failed("The staging folder couldn't be opened.");
    struct stat old {};
    struct stat fresh {};
    if (fstatat(e.folder_.get(), e.hereName_.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        fstatat(e.stagingFolder_.get(), "new", &fresh, AT_SYMLINK_NOFOLLOW) != 0)
        return failed("A bundle to exchange is missing.");
    if (!S_ISDIR(old.st_mode) || !S_ISDIR(fresh.st_mode)) return Refusal{"A bundle to exchange is not a folder.", ""};
    e.old_ = {old.st_dev, old.st_ino};
    e.new_ = {fresh.st_dev, fresh.st_ino};
    return e;
}

Checked<> Exchange::swap() {
    if (renameat2(stagingFolder_.get(), "new", folder_.get(), hereName_.c_str(), RENAME_EXCHANGE) != 0)
        return failed("The bundles couldn't be exchanged.");
    struct stat now {};
    swapped_ = fstatat(folder_.get(), hereName_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               Node{now.st_dev, now.st_ino} == new_;
    if (!swapped_) return Refusal{"Something else than the update took the bundle's place.", ""};
    return accepted();
}

void Exchange::clear(const std::string& work) const {
    removeAll(staging_);
    removeAll(work);
}

Checked<> Exchange::relaunch(const std::string& program) const {
    if (!plainFileName(program)) return Refusal{"The program's name is no plain file name.", program};
    Fd bundle(openFolder(folder_.get(), hereName_.c_str()));
    struct stat seen {};
    if (!bundle || fstat(bundle.get(), &seen) != 0) return failed("The bundle couldn't be opened.");
    if (!(Node{seen.st_dev, seen.st_ino} == (swapped_ ? new_ : old_)))
        return Refusal{"Another folder than the bundle stands at its place.", ""};
    Fd contents(openFolder(bundle.get(), "Contents"));
    Fd programs(contents ? openFolder(contents.get(), "Linux") : -1);
    if (!programs) return failed("The bundle's program folder couldn't be opened.");
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return failed("The program couldn't be started.");
    std::string shown = here_ + "/Contents/Linux/" + program;
    pid_t pid = fork();
    if (pid == 0) {
        char* argv[] = {shown.data(), nullptr};
        execveat(programs.get(), program.c_str(), argv, environ, AT_SYMLINK_NOFOLLOW);
        int error = errno;
        (void)!write(report[1], &error, sizeof error);
        _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t got = pid < 0 ? -1 : read(report[0], &error, sizeof error);
    close(report[0]);
    if (pid < 0) return failed("The program couldn't be started.");
    if (got <= 0) return accepted();  // the pipe closed at exec: it runs
    waitpid(pid, nullptr, 0);
    errno = error;
    return failed("The program couldn't be started.");
}

int installUpdate(const SwapRequest& request) {
    auto exchange = Exchange::open(request.staging, request.here);
    if (!exchange) {
        g_warning("The update was not installed: %s (%s)", exchange.why().c_str(), exchange.cause().c_str());
        return 1;
    }
    if (auto swapped = exchange->swap(); !swapped)
        g_warning("The update was not installed: %s (%s)", swapped.why().c_str(), swapped.cause().c_str());
    exchange->clear(request.work);
    // Installed at quit, nothing else would tell the menus of a renamed program.
    if (exchange->swapped()) {
        std::string here = std::filesystem::absolute(request.here);
        refreshLauncher(Bundle::at(here), here + "/Contents/Linux/" + request.newProgram, g_get_user_data_dir());
    }
    if (request.relaunch) {
        auto started = exchange->relaunch(exchange->swapped() ? request.newProgram : request.oldProgram);
        if (!started)
            g_warning("The app was not started again: %s (%s)", started.why().c_str(), started.cause().c_str());
    }
    return 0;
}

void clearSwapLeftovers(const std::string& here) {
    Owned<DIR, closedir> folder(opendir(parentOf(here).c_str()));
    if (!folder) return;
    const std::string prefix = nameOf(here) + ".swap.";
    while (dirent* entry = readdir(folder.get())) {
        std::string_view name = entry->d_name;
        if (!name.starts_with(prefix)) continue;
        // The script's pid: a swap whose script still runs keeps its folder.
        long pid = std::strtol(entry->d_name + prefix.size(), nullptr, 10);
        if (pid <= 0 || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        struct stat seen {};
        if (fstatat(dirfd(folder.get()), entry->d_name, &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(seen.st_mode) ||
            seen.st_uid != geteuid())
            continue;
        removeAll(parentOf(here) + "/" + entry->d_name);
    }
}

}  // namespace mirovan
