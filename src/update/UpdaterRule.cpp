// The updater's choices and its words.
#include "update/UpdaterRule.h"

#include <glib.h>

namespace mirovan {

CheckStep checkStep(bool ready, bool checking, bool stuck, bool hasFeed, bool quiet) {
    if (ready) return CheckStep::offerReady;
    if (!checking && hasFeed) return CheckStep::askFeed;
    // The user asked, and what runs will not answer soon: the user's check wins.
    if (checking && stuck && hasFeed && !quiet) return CheckStep::replace;
    // With a feed, a check or download is under way: even the menu command says nothing.
    if (quiet || hasFeed) return CheckStep::nothing;
    return CheckStep::tellNoFeed;
}

bool stuck(const InFlight& check, std::int64_t now) {
    if (check.verifying) return false;
    return now - (check.downloading ? check.moved : check.started) >= stuckAfter;
}

std::string explained(const Refusal& refusal) {
    if (refusal.cause.empty() || refusal.cause == refusal.why) return refusal.why;
    // A line of its own: a step's finding starts in lower case, the system's does not.
    std::string cause = refusal.cause;
    cause[0] = g_ascii_toupper(cause[0]);
    return refusal.why + "\n" + cause + (cause.back() == '.' ? "" : ".");
}

std::optional<Message> feedOutcome(const FeedDecision& decision, bool quiet, const std::string& name,
                                   const std::optional<Refusal>& transfer) {
    if (quiet || std::holds_alternative<NewerBuild>(decision)) return std::nullopt;
    if (std::holds_alternative<UpToDate>(decision)) return Message{name + " is up to date.", ""};
    return Message{"Couldn't check for updates.", transfer ? explained(*transfer) : "Try again later."};
}

std::optional<Message> downloadOutcome(const Refusal& refusal, bool quiet, const std::string& name) {
    if (quiet) return std::nullopt;
    return Message{"Couldn't get the new version of " + name + ".", explained(refusal)};
}

Message noFeed(const std::string& name) { return {"Updates aren't set up for this copy of " + name + ".", ""}; }

Message readyOffer(const std::string& name, const std::string& label) {
    return {"A new version of " + name + " is ready",
            "Version " + label + ". Restart now to use it, or it installs the next time you quit."};
}

BundleFolder bundleFolder(unsigned mode, unsigned owner, unsigned self, bool writable) {
    if (mode & 0022) return BundleFolder::shared;
    if (owner != self && owner != 0) return BundleFolder::someoneElse;
    return writable ? BundleFolder::ours : BundleFolder::unwritable;
}

InstallStep installStep(bool ready, BundleFolder folder, bool relaunch) {
    if (!ready) return InstallStep::nothing;
    if (folder == BundleFolder::ours) return InstallStep::swap;
    return relaunch ? InstallStep::cantUpdateHere : InstallStep::leave;
}

Message cantUpdateHere(const std::string& name, BundleFolder folder) {
    std::string text = name + " can't update itself here.";
    const std::string theirs = ", so they could put a program of their own in its place. Move " + name;
    switch (folder) {
    case BundleFolder::shared:
        return {text, "Other users can change the folder it is in" + theirs + " to a folder only you can change."};
    case BundleFolder::someoneElse:
        return {text, "The folder it is in belongs to another user" + theirs + " to a folder of your own."};
    case BundleFolder::ours:
    case BundleFolder::unwritable: break;
    }
    return {text, "Download the new version and drag it into Applications."};
}

Message cantStartInstall(const std::string& name, const std::string& cause) {
    std::string because = cause.empty() ? "" : " (" + cause + ")";
    return {"Couldn't restart to update.", name + " couldn't start its installer" + because +
                                               ". Nothing has changed; the update will be tried again when you quit."};
}

std::string scratchFolder(const char* xdgCacheHome, const std::string& home, const std::string& identifier) {
    std::string cache = xdgCacheHome && xdgCacheHome[0] == '/' ? xdgCacheHome : home + "/.cache";
    return cache + "/" + identifier + "/update";
}

}  // namespace mirovan
