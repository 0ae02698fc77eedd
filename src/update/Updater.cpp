// The updater's check, offer, download and install, carrying out the choices of
// UpdaterRule.h. Alerts cannot block here as they would on a desktop with a modal run
// loop, so each one answers through a callback and at most one of ours is up at a time.
#include "update/Updater.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <utility>

#include "core/Trace.h"
#include "platform/Session.h"
#include "update/Exchange.h"
#include "update/RefusedArchive.h"
#include "update/Room.h"
#include "update/Signature.h"
#include "update/SwapScript.h"
#include "update/Unpack.h"
#include "update/Version.h"

namespace mirovan {

namespace {

// Only the log hears of what a quiet check or a quit refused.
void logRefusal(const char* what, const Refusal& refusal) {
    g_warning("%s: %s (%s)", what, refusal.why.c_str(), refusal.cause.c_str());
}

}  // namespace

Updater::Updater(UpdaterDriver& driver, UpdateTransport& transport, StartScript startScript)
    : driver_(driver),
      transport_(transport),
      startScript_(std::move(startScript)),
      current_(buildNumber(driver.bundle().string("CFBundleVersion").value_or(""))) {}

std::optional<std::string> Updater::feed() const { return feedAddress(driver_.bundle().string("MirovanUpdateURL")); }

std::string Updater::work() const {
    return scratchFolder(g_getenv("XDG_CACHE_HOME"), g_get_home_dir(),
                         driver_.bundle().identifier().value_or("Mirovan"));
}

RunningApp Updater::running() const {
    const Bundle& bundle = driver_.bundle();
    RunningApp self{bundle.identifier(), std::nullopt, current_, work()};
    // Only a key whose own signed entry checks out names our team.
    if (auto own = ownTeam(bundle.root())) self.team = *own;
    return self;
}

void Updater::drop() {
    if (stage_ == Stage::ready) stage_ = Stage::idle;
    std::error_code ignored;
    std::filesystem::remove_all(work(), ignored);
}

void Updater::clearLeftovers() {
    std::string aside = work() + ".discarded";
    std::error_code ignored;
    std::filesystem::remove_all(aside, ignored);  // what an earlier clean-up did not finish
    bool moved = rename(work().c_str(), aside.c_str()) == 0;
    std::thread([aside, moved, here = driver_.bundle().root()] {
        std::error_code ignored;
        if (moved) std::filesystem::remove_all(aside, ignored);
        clearSwapLeftovers(here);
    }).detach();
}

void Updater::check(bool quiet) {
    if (stage_ == Stage::done) return;  // the app is ending
    auto url = feed();
    switch (checkStep(stage_ == Stage::ready, stage_ == Stage::checking, stuck(), url.has_value(), quiet)) {
    case CheckStep::offerReady:
        // A waiting update is offered again; it is never replaced by a newer download.
        offer();
        return;
    case CheckStep::replace:
        trace("update-replace");
        transfer_->cancelled = true;
        [[fallthrough]];
    case CheckStep::askFeed: askFeed(*url, quiet); return;
    case CheckStep::tellNoFeed: tell(noFeed(driver_.name())); return;
    case CheckStep::nothing: return;
    }
}

bool Updater::stuck() const {
    if (stage_ != Stage::checking || !transfer_) return false;
    InFlight flight{downloading_, transfer_->working, transfer_->started, transfer_->moved};
    return mirovan::stuck(flight, g_get_monotonic_time());
}

void Updater::askFeed(const std::string& url, bool quiet) {
    stage_ = Stage::checking;
    trace("update-check");
    TransferBounds bounds{feedLimit, {"The answer is larger than " + std::to_string(feedLimit) + " bytes.", ""}};
    bounds.totalSeconds = feedSeconds;
    bounds.stallSeconds = stallSeconds;
    transfer_ = bounds.progress;
    downloading_ = false;
    transport_.fetchFeed(url, bounds, [this, url, quiet, attempt = ++attempt_](const Checked<std::string>& body) {
        if (attempt == attempt_) onFeed(body, url, quiet);
    });
}

void Updater::onFeed(const Checked<std::string>& body, const std::string& feedUrl, bool quiet) {
    if (stage_ != Stage::checking) return;  // the app quit meanwhile
    // Parsed here: the body is at most feedLimit bytes.
    std::optional<FeedDocument> document = body ? readFeed(*body) : std::nullopt;
    auto decision = decide(current_, document, feedUrl);
    if (auto* newer = std::get_if<NewerBuild>(&decision)) {
        if (!refusedBefore(*newer, quiet)) download(*newer, quiet);
        return;
    }
    stage_ = Stage::idle;
    std::optional<Refusal> failed;
    if (!body) failed = body.refusal();
    if (failed && quiet) logRefusal("The update feed couldn't be read", *failed);
    if (auto message = feedOutcome(decision, quiet, driver_.name(), failed)) tell(*message);
}

bool Updater::refusedBefore(const NewerBuild& newer, bool quiet) {
    auto remembered = recallRefused(refusedFile(work()));
    if (!remembered || remembered->sha256 != newer.sha256 || remembered->version != newer.version) return false;
    stage_ = Stage::idle;
    trace("update-remembered");
    if (quiet && loggedRefused_ != newer.sha256) {
        logRefusal("The update was refused before", remembered->refusal);
        loggedRefused_ = newer.sha256;
    }
    if (auto message = downloadOutcome(remembered->refusal, quiet, driver_.name())) tell(*message);
    return true;
}

void Updater::download(const NewerBuild& newer, bool quiet) {
    // The download and what it unpacks to live in the private scratch folder only, and
    // leave its filesystem room to spare.
    if (auto scratch = makeScratch(work()); !scratch) return onDownloaded(scratch.refusal(), newer, quiet);
    Checked<std::uint64_t> freeBytes = freeSpace(work());
    if (!freeBytes) return onDownloaded(freeBytes.refusal(), newer, quiet);
    Checked<std::uint64_t> limit = downloadLimit(newer.length, *freeBytes);
    if (!limit) return onDownloaded(limit.refusal(), newer, quiet);
    TransferBounds bounds{
        *limit, outgrew(*freeBytes), newer.length, {"The download was damaged.", "it is not the length the feed gave"}};
    bounds.stallSeconds = stallSeconds;
    transfer_ = bounds.progress;
    downloading_ = true;
    transport_.downloadArchive(
        newer.url, work(), bounds,
        [sha256 = newer.sha256, version = newer.version, self = running()](const std::string& file) {
            return unpack(file, sha256, version, self);
        },
        [this, newer, quiet, attempt = attempt_](const Checked<std::string>& result) {
            if (attempt == attempt_) onDownloaded(result, newer, quiet);
        });
}

void Updater::onDownloaded(const Checked<std::string>& result, const NewerBuild& newer, bool quiet) {
    if (stage_ != Stage::checking) return;  // the app quit meanwhile, and took the scratch folder
    stage_ = Stage::idle;
    transfer_.reset();
    if (!result) {
        drop();
        // Only what the archive's bytes decided is remembered; the network or a full disk
        // may do better next time.
        if (result.refusal().lasting) {
            rememberRefused(refusedFile(work()), {newer.sha256, newer.version, result.refusal()});
            if (quiet) loggedRefused_ = newer.sha256;  // logged just below, once is enough
        }
        if (quiet) logRefusal("The update was refused", result.refusal());
        if (auto message = downloadOutcome(result.refusal(), quiet, driver_.name())) tell(*message);
        return;
    }
    // The label is the verified bundle's own: the feed's words are nobody's signature.
    Bundle bundle = Bundle::at(*result);
    std::string label = bundle.string("CFBundleShortVersionString").value_or(std::to_string(newer.version));
    ready_ = Ready{label, *result, newer.version};
    stage_ = Stage::ready;
    offer();
}

void Updater::offer() {
    trace("update-offer");
    // A second alert is dropped, as if dismissed: the update keeps waiting.
    if (showing_) return;
    showing_ = true;
    driver_.offer(ready_.version, [this](OfferAnswer answer) { onOfferAnswer(answer); });
}

void Updater::onOfferAnswer(OfferAnswer answer) {
    showing_ = false;
    // "Later" leaves the update waiting: the next check offers it again, quitting installs it.
    if (answer != OfferAnswer::restart) return;
    driver_.leavePage([this] { install(true, [this] { driver_.quit(); }); });
}

void Updater::tell(const Message& message, std::function<void()> done) {
    trace("update-tell");
    if (showing_) {
        if (done) done();
        return;
    }
    showing_ = true;
    driver_.tell(message, [this, done = std::move(done)] {
        showing_ = false;
        if (done) done();
    });
}

void Updater::install(bool relaunch, std::function<void()> then) {
    auto proceed = [&then] {
        if (then) then();
    };
    if (stage_ == Stage::done) return proceed();
    if (stage_ != Stage::ready) {
        // Quitting cuts a transfer short, and leaves nothing behind.
        if (!relaunch) {
            drop();
            stage_ = Stage::done;
        }
        return proceed();
    }
    std::string here = driver_.bundle().root();
    g_autofree char* parent = g_path_get_dirname(here.c_str());
    struct stat seen {};
    // Its mode and owner, not only access(): root may write anywhere, and so may others.
    BundleFolder folder = lstat(parent, &seen) != 0
                              ? BundleFolder::unwritable
                              : bundleFolder(seen.st_mode, seen.st_uid, geteuid(), access(parent, W_OK) == 0);
    switch (installStep(true, folder, relaunch)) {
    case InstallStep::nothing: return proceed();
    case InstallStep::cantUpdateHere:
        drop();
        // Quitting has to wait until the user has read why nothing will change.
        tell(cantUpdateHere(driver_.name(), folder), std::move(then));
        return;
    case InstallStep::leave:
        drop();
        if (folder != BundleFolder::unwritable)
            g_warning("The update was not installed: %s", cantUpdateHere(driver_.name(), folder).informative.c_str());
        stage_ = Stage::done;
        return proceed();
    case InstallStep::swap: break;
    }

    // It may have waited for days in a folder of ours; nothing changed in it since it was
    // verified goes in.
    if (auto checked = recheck(ready_.app, ready_.number, running()); !checked) {
        trace("update-refused");
        drop();
        // After "Restart to Update" the user hears why and the app stays; at quit, the log.
        if (relaunch) return tell(*downloadOutcome(checked.refusal(), false, driver_.name()));
        logRefusal("The waiting update was refused", checked.refusal());
        stage_ = Stage::done;
        return proceed();
    }
    // Relaunch runs the new bundle's own program, as opening it would (it may be renamed).
    std::string newProgram = Bundle::at(ready_.app).string("CFBundleExecutable").value_or(executable());
    auto started = startScript_(swapScript({getpid(), here, ready_.app, work(), relaunch, executable(), newProgram}));
    if (!started) {
        logRefusal("The update was not installed", started.refusal());
        // The app stays open and the update keeps waiting: quitting tries again.
        if (relaunch) return tell(cantStartInstall(driver_.name(), started.cause()));
        drop();
        stage_ = Stage::done;
        return proceed();
    }
    trace("update-install");
    stage_ = Stage::done;  // the scratch folder is the script's now
    proceed();
}

std::string Updater::executable() const {
    auto name = driver_.bundle().string("CFBundleExecutable");
    if (name && plainFileName(*name)) return *name;
    g_autofree char* own = g_path_get_basename(programPath().c_str());
    return own;
}

}  // namespace mirovan
