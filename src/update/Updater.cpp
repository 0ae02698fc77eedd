// The updater's schedule, check, offer, download and install. Alerts cannot block here as
// they would on a desktop with a modal run loop, so each one answers through a callback
// and at most one of ours is up at a time.
#include "update/Updater.h"

#include <unistd.h>

#include <utility>
#include <variant>

#include "core/App.h"
#include "core/Trace.h"
#include "platform/AlertDialog.h"
#include "platform/ChildProcess.h"
#include "platform/Http.h"
#include "update/Feed.h"
#include "update/Signature.h"
#include "update/SwapScript.h"
#include "update/Unpack.h"
#include "update/Version.h"

namespace mirovan {

// The feed's outcome as it leaves the worker thread: the document, parsed there, or none;
// and the transport error, if the transfer failed.
struct FeedAnswer {
    std::optional<FeedDocument> document;
    std::optional<std::string> error;
};

namespace {

constexpr guint firstCheckSeconds = 15;
constexpr guint checkIntervalSeconds = 6 * 60 * 60;

}  // namespace

Updater& Updater::shared() {
    static Updater updater;
    return updater;
}

void Updater::start(App& app) {
    app_ = &app;
    current = buildNumber(app.bundle().string("CFBundleVersion").value_or(""));
    g_timeout_add_seconds(firstCheckSeconds, +[](gpointer self) -> gboolean {
        static_cast<Updater*>(self)->check(true);
        return G_SOURCE_REMOVE;
    }, this);
    timer = g_timeout_add_seconds(checkIntervalSeconds, +[](gpointer self) -> gboolean {
        static_cast<Updater*>(self)->check(true);
        return G_SOURCE_CONTINUE;
    }, this);
}

std::optional<std::string> Updater::feed() const {
    if (!app_) return std::nullopt;
    return feedAddress(app_->bundle().string("MirovanUpdateURL"));
}

std::string Updater::work() const {
    std::string owner = "Mirovan";
    if (app_) owner = app_->bundle().identifier().value_or(owner);
    g_autofree char* path = g_build_filename(g_get_user_cache_dir(), owner.c_str(), "update", nullptr);
    return path;
}

void Updater::check(bool quiet) {
    if (!app_) return;
    // A waiting update is offered again; it is never replaced by a newer download.
    if (ready) {
        offer(ready->version);
        return;
    }
    auto url = feed();
    if (!checking && url) {
        checking = true;
        trace("update-check");
        fetch(
            *url,
            [](Fetched got) {
                // Parsed here, off the main thread.
                return FeedAnswer{got.error ? std::nullopt : readFeed(got.body), got.error};
            },
            [this, url = *url, quiet](const FeedAnswer& answer) { onFeedAnswer(answer, url, quiet); });
        return;
    }
    if (quiet) return;
    // With a feed, a check or download is already under way: the menu command says nothing.
    if (!url) tell("Updates aren't set up for this copy of " + app_->name() + ".", "");
}

void Updater::onFeedAnswer(const FeedAnswer& answer, const std::string& feedUrl, bool quiet) {
    auto decision = decide(current, answer.document, feedUrl);
    if (auto* newer = std::get_if<NewerBuild>(&decision)) {
        download(newer->url, newer->sha256, newer->version, newer->label, quiet);
        return;
    }
    checking = false;
    if (quiet) return;
    if (std::holds_alternative<UpToDate>(decision))
        tell(app_->name() + " is up to date.", "");
    else
        tell("Couldn't check for updates.", answer.error.value_or("Try again later."));
}

void Updater::download(const std::string& url, const std::string& sha256, std::int64_t version,
                       const std::string& name, bool quiet) {
    const Bundle& bundle = app_->bundle();
    RunningApp running{bundle.identifier(), std::nullopt, current, work()};
    mirovan::download(
        url,
        [sha256, version, running, root = bundle.root()](const Downloaded& got) {
            if (!got.file) return Unpacked{std::nullopt, got.error.value_or("The download failed.")};
            RunningApp self = running;
            self.team = ownTeam(root);
            return unpack(*got.file, sha256, version, self);
        },
        [this, name, quiet](const Unpacked& result) { onDownloaded(result, name, quiet); });
}

void Updater::onDownloaded(const Unpacked& result, const std::string& name, bool quiet) {
    checking = false;
    if (result.app) {
        ready = Ready{name, *result.app};
        offer(name);
    } else if (!quiet) {
        tell("Couldn't get the new version of " + app_->name() + ".", result.message.value_or(""));
    }
}

void Updater::offer(const std::string& label) {
    trace("update-offer");
    Alert alert{"A new version of " + app_->name() + " is ready",
                {"Restart to Update", "Later"},
                std::nullopt,
                "Version " + label + ". Restart now to use it, or it installs the next time you quit."};
    show(alert, [this](std::optional<std::size_t> button) {
        // "Later" leaves the update waiting: the next check offers it again, quitting installs it.
        if (button != std::size_t{0}) return;
        install(true, [this] { app_->quit(); });
    });
}

void Updater::tell(const std::string& message, const std::string& informative,
                   std::function<void()> dismissed) {
    trace("update-tell");
    show(Alert{message, {"OK"}, std::nullopt, informative},
         [dismissed = std::move(dismissed)](std::optional<std::size_t>) {
             if (dismissed) dismissed();
         });
}

void Updater::show(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) {
    // GTK has no blocking modal run: a timer's check could otherwise pile a second alert
    // on one the user has not answered yet. That one is dropped, as if dismissed.
    if (showing_ || !app_ || !app_->window) {
        answered(std::nullopt);
        return;
    }
    showing_ = true;
    showAlert(app_->window, alert, [this, answered = std::move(answered)](AlertAnswer answer) {
        showing_ = false;
        answered(answer.button);
    });
}

void Updater::install(bool relaunch, std::function<void()> then) {
    if (!ready) {
        if (then) then();
        return;
    }
    // Taken before anything is tried: an update is handed on at most once.
    std::string newApp = std::exchange(ready, std::nullopt)->app;
    std::string here = app_->bundle().root();
    g_autofree char* parent = g_path_get_dirname(here.c_str());
    if (access(parent, W_OK) == 0) {
        trace("update-install");
        launchDetachedScript(swapScript(getpid(), here, newApp, work(), relaunch, executable()));
    } else if (relaunch) {
        // Quitting has to wait until the user has read why nothing will change.
        tell(app_->name() + " can't update itself here.",
             "Download the new version and drag it into Applications.", std::move(then));
        return;
    }
    if (then) then();
}

std::string Updater::executable() const {
    if (auto name = app_->bundle().string("CFBundleExecutable")) return *name;
    g_autofree char* self = g_file_read_link("/proc/self/exe", nullptr);
    g_autofree char* name = g_path_get_basename(self ? self : "mirovan");
    return name;
}

}  // namespace mirovan
