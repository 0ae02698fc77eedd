// The updater's check, offer, download and install, carrying out the choices of
// UpdaterRule.h. Alerts cannot block here as they would on a desktop with a modal run
// loop, so each one answers through a callback and at most one of ours is up at a time.
#include "update/Updater.h"

#include <glib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <utility>

#include "core/Trace.h"
#include "platform/ChildProcess.h"
#include "platform/Http.h"
#include "platform/Session.h"
#include "update/Feed.h"
#include "update/Signature.h"
#include "update/SwapScript.h"
#include "update/Unpack.h"
#include "update/UpdaterRule.h"
#include "update/Version.h"

namespace mirovan {

// The feed's outcome as it leaves the worker thread: the document, parsed there, or none;
// and the transport error, if the transfer failed.
struct FeedAnswer {
    std::optional<FeedDocument> document;
    std::optional<std::string> error;
};

Updater::Updater(UpdaterHost& host)
    : current(buildNumber(host.bundle().string("CFBundleVersion").value_or(""))), host_(host) {}

std::optional<std::string> Updater::feed() const { return feedAddress(host_.bundle().string("MirovanUpdateURL")); }

std::string Updater::work() const {
    return scratchFolder(g_getenv("XDG_CACHE_HOME"), g_get_home_dir(), host_.bundle().identifier().value_or("Mirovan"));
}

RunningApp Updater::running() const {
    const Bundle& bundle = host_.bundle();
    RunningApp self{bundle.identifier(), std::nullopt, current, work()};
    // Only a key whose own signed entry checks out names our team.
    if (auto own = ownTeam(bundle.root())) self.team = *own;
    return self;
}

void Updater::discardScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(work(), ignored);
}

void Updater::clearLeftovers() {
    std::string aside = work() + ".discarded";
    std::error_code ignored;
    std::filesystem::remove_all(aside, ignored);  // what an earlier clean-up did not finish
    if (rename(work().c_str(), aside.c_str()) != 0) return;
    std::thread([aside] {
        std::error_code ignored;
        std::filesystem::remove_all(aside, ignored);
    }).detach();
}

void Updater::check(bool quiet) {
    auto url = feed();
    switch (checkStep(ready.has_value(), checking, url.has_value(), quiet)) {
    case CheckStep::offerReady:
        // A waiting update is offered again; it is never replaced by a newer download.
        offer(ready->version);
        return;
    case CheckStep::askFeed:
        checking = true;
        trace("update-check");
        fetch(
            *url, feedLimit,
            [](Fetched got) {
                // Parsed here, off the main thread.
                return FeedAnswer{got.error ? std::nullopt : readFeed(got.body), got.error};
            },
            [this, url = *url, quiet](const FeedAnswer& answer) { onFeedAnswer(answer, url, quiet); });
        return;
    case CheckStep::tellNoFeed: tell(noFeed(host_.name())); return;
    case CheckStep::nothing: return;
    }
}

void Updater::onFeedAnswer(const FeedAnswer& answer, const std::string& feedUrl, bool quiet) {
    auto decision = decide(current, answer.document, feedUrl);
    if (auto* newer = std::get_if<NewerBuild>(&decision)) {
        download(newer->url, newer->sha256, newer->version, newer->label, quiet);
        return;
    }
    checking = false;
    if (auto message = feedOutcome(decision, quiet, host_.name(), answer.error)) tell(*message);
}

void Updater::download(const std::string& url, const std::string& sha256, std::int64_t version, const std::string& name,
                       bool quiet) {
    // The download and what it unpacks to live in the private scratch folder only.
    if (auto scratch = makeScratch(work()); !scratch) {
        onDownloaded(Refusal{scratch.why()}, name, version, quiet);
        return;
    }
    mirovan::download(
        url, work(),
        [sha256, version, self = running()](const Downloaded& got) -> Checked<std::string> {
            if (!got.file) return Refusal{got.error.value_or("The download failed.")};
            // An exception must not end the worker thread, and with it the app, or leave
            // the updater checking for ever.
            try {
                return unpack(*got.file, sha256, version, self);
            } catch (const std::exception& e) {
                return Refusal{e.what()};
            }
        },
        [this, name, version, quiet](const Checked<std::string>& result) {
            onDownloaded(result, name, version, quiet);
        });
}

void Updater::onDownloaded(const Checked<std::string>& result, const std::string& name, std::int64_t version,
                           bool quiet) {
    checking = false;
    if (!result) discardScratch();
    if (result) {
        ready = Ready{name, *result, version};
        offer(name);
    } else if (auto message = downloadOutcome(result.why(), quiet, host_.name())) {
        tell(*message);
    }
}

void Updater::offer(const std::string& label) {
    trace("update-offer");
    Message message = readyOffer(host_.name(), label);
    show(Alert{message.text, {restartButton, laterButton}, std::nullopt, message.informative},
         [this](std::optional<std::size_t> button) {
             // "Later" leaves the update waiting: the next check offers it again, quitting installs it.
             if (button != std::size_t{0}) return;
             host_.leavePage([this] { install(true, [this] { host_.quit(); }); });
         });
}

void Updater::tell(const Message& message, std::function<void()> dismissed) {
    trace("update-tell");
    show(Alert{message.text, {"OK"}, std::nullopt, message.informative},
         [dismissed = std::move(dismissed)](std::optional<std::size_t>) {
             if (dismissed) dismissed();
         });
}

void Updater::show(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) {
    // GTK has no blocking modal run: a timer's check could otherwise pile a second alert
    // on one the user has not answered yet. That one is dropped, as if dismissed.
    if (showing_) {
        answered(std::nullopt);
        return;
    }
    showing_ = true;
    host_.showAlert(alert, [this, answered = std::move(answered)](std::optional<std::size_t> button) {
        showing_ = false;
        answered(button);
    });
}

void Updater::install(bool relaunch, std::function<void()> then) {
    std::string here = host_.bundle().root();
    g_autofree char* parent = g_path_get_dirname(here.c_str());
    switch (installStep(ready.has_value(), access(parent, W_OK) == 0, relaunch)) {
    case InstallStep::swap: {
        // Taken before anything is tried: an update is handed on at most once.
        Ready waiting = *std::exchange(ready, std::nullopt);
        // It may have waited for days in a folder of ours; nothing changed in it since
        // it was verified goes in.
        if (auto checked = recheck(waiting.app, waiting.number, running()); !checked) {
            trace("update-refused");
            discardScratch();
            // After "Restart to Update" the user hears why and the app stays; at quit, silence.
            if (relaunch) {
                tell(*downloadOutcome(checked.why(), false, host_.name()));
                return;
            }
            break;
        }
        trace("update-install");
        // Relaunch runs the new bundle's own program, as opening it would (it may be renamed).
        std::string newProgram = Bundle::at(waiting.app).string("CFBundleExecutable").value_or(executable());
        launchDetachedScript(swapScript({getpid(), here, waiting.app, work(), relaunch, executable(), newProgram}));
        handedOver_ = true;  // the scratch folder is the script's now
        break;
    }
    case InstallStep::cantUpdateHere:
        ready.reset();
        discardScratch();
        // Quitting has to wait until the user has read why nothing will change.
        tell(cantUpdateHere(host_.name()), std::move(then));
        return;
    case InstallStep::leave:
        ready.reset();
        discardScratch();
        break;
    case InstallStep::nothing:
        // A transfer cut short by quitting leaves nothing behind.
        if (!relaunch && !handedOver_) discardScratch();
        break;
    }
    if (then) then();
}

std::string Updater::executable() const {
    auto name = host_.bundle().string("CFBundleExecutable");
    if (name && plainFileName(*name)) return *name;
    g_autofree char* own = g_path_get_basename(programPath().c_str());
    return own;
}

}  // namespace mirovan
