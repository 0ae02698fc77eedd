// The updater's choices as plain functions of values: what a check does, what the user
// is told of its outcome, and whether a waiting update can be installed. Updater.cpp
// carries them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Checked.h"
#include "update/Feed.h"

namespace mirovan {

// The updater's message: its text and the informative text under it (may be empty).
struct Message {
    std::string text;
    std::string informative;
    bool operator==(const Message&) const = default;
};

enum class CheckStep {
    offerReady,  // a verified update waits: offer it again, without the network
    askFeed,     // start a feed request
    replace,     // the user asked while a check is stuck: give it up and start a feed request
    nothing,     // a check or download is already in flight, or a quiet check has no feed
    tellNoFeed,  // the user asked, and there is no feed to ask
};

CheckStep checkStep(bool ready, bool checking, bool stuck, bool hasFeed, bool quiet);

// A check in flight, as the stuck rule sees it. Times in microseconds, of one clock.
struct InFlight {
    bool downloading = false;  // past the feed, on the archive
    bool verifying = false;    // the archive has come and is being checked
    std::int64_t started = 0;  // when this transfer began
    std::int64_t moved = 0;    // when bytes last arrived
};
// A feed is small: a feed request that has run for `stuckAfter` is stuck, however slowly
// it trickles. A download is stuck once nothing has arrived for `stuckAfter`. Verifying is
// never stuck: its own limits bound it.
inline constexpr std::int64_t stuckAfter = 10'000'000;
bool stuck(const InFlight& check, std::int64_t now);

// The whole feed request may take 30 s; a download, as long as bytes keep coming (none for
// 30 s ends it).
inline constexpr long feedSeconds = 30;
inline constexpr long stallSeconds = 30;

// A refusal as the user reads it: why, and under it the cause, when there is one.
std::string explained(const Refusal& refusal);

// What the user hears when the feed's answer starts no download; none: nothing (a quiet
// check, or a newer build, which goes on to download). `transfer` is why the transfer
// failed, when it did.
std::optional<Message> feedOutcome(const FeedDecision& decision, bool quiet, const std::string& name,
                                   const std::optional<Refusal>& transfer);

// What the user hears when a download was refused: nothing on a quiet check.
std::optional<Message> downloadOutcome(const Refusal& refusal, bool quiet, const std::string& name);

Message noFeed(const std::string& name);
Message readyOffer(const std::string& name, const std::string& label);
inline constexpr const char* restartButton = "Restart to Update";
inline constexpr const char* laterButton = "Later";

// Whether the folder that holds the bundle may take the swap. Anyone else who can change
// it could put a tree of their own at the bundle's name while the update goes in.
enum class BundleFolder {
    ours,         // only we (and root) can change it, and we can write it
    unwritable,   // we cannot write it
    shared,       // its group or other users may write it, sticky or not
    someoneElse,  // it belongs to another user than us or root
};

// `mode` and `owner` are the folder's (lstat), `self` our effective uid, `writable` what
// access(W_OK) says: root is told yes everywhere, so only the mode and owner tell sharing.
BundleFolder bundleFolder(unsigned mode, unsigned owner, unsigned self, bool writable);

enum class InstallStep {
    nothing,         // no update waits
    swap,            // hand the update to the swap script
    cantUpdateHere,  // the bundle's folder may not take the swap: say why, then go on
    leave,           // the same, quitting without a relaunch: install nothing, only log why
};

InstallStep installStep(bool ready, BundleFolder folder, bool relaunch);

// Why the folder refuses the swap, for the user; `folder` is not `ours`.
Message cantUpdateHere(const std::string& name, BundleFolder folder);
// "Restart to Update" could not start the swap script: the app stays as it was, and
// `cause` (what the system said) goes under the sentence.
Message cantStartInstall(const std::string& name, const std::string& cause);

// The scratch folder: <cache>/<identifier>/update, where <cache> is XDG_CACHE_HOME when it
// is an absolute path (a relative one is ignored, as the XDG base directories say) and
// ~/.cache otherwise.
std::string scratchFolder(const char* xdgCacheHome, const std::string& home, const std::string& identifier);

// The feed is small; a body that never ends must not grow the app.
inline constexpr std::size_t feedLimit = 1 << 20;

}  // namespace mirovan
