// The self-updater: it checks the feed when asked, downloads and verifies a newer build,
// offers it, and installs it when the app ends. It reaches the app only through its
// driver and the network only through its transport. Everything here runs on the main
// thread; only transfers and unpacking run elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "update/Driver.h"
#include "update/Transport.h"

namespace mirovan {

struct RunningApp;

class Updater {
public:
    Updater(UpdaterDriver& driver, UpdateTransport& transport, StartScript startScript);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Looks for a newer build; a quiet check shows nothing but an offer. The user's check
    // replaces one that is stuck (UpdaterRule.h); the stuck one's late answer is ignored.
    void check(bool quiet);
    // Hands the waiting update, if any, to a script that swaps the bundles once this
    // process has gone, and starts the app again with `relaunch`. Runs once: after it has
    // handed over or the app has quit, a second call does nothing. `then` runs when
    // install has done its part: at once, or after the message saying why the bundle's
    // folder cannot take the update has gone; never when the app is to stay open (the update was
    // refused on its second look, or the script could not be started).
    void install(bool relaunch, std::function<void()> then = {});

    // MirovanUpdateURL when it is an absolute URL; looked up at every use.
    std::optional<std::string> feed() const;
    // The scratch directory: <user cache>/<identifier or "Mirovan">/update. Nothing is
    // created by asking.
    std::string work() const;
    // Removes what a run that was killed left in work(), and what a killed swap left beside
    // the bundle: set aside at once, deleted on a thread of its own.
    void clearLeftovers();

    struct Ready {
        std::string version;  // the label shown to the user, from the verified bundle
        std::string app;      // the verified bundle, inside work()
        std::int64_t number;  // the build number it was verified as
    };
    // The verified update that waits to be installed, or null.
    const Ready* waiting() const { return stage_ == Stage::ready ? &ready_ : nullptr; }
    // A feed request, or the download it started, is in flight.
    bool checking() const { return stage_ == Stage::checking; }
    // The running build's number.
    std::int64_t current() const { return current_; }

private:
    enum class Stage {
        idle,      // nothing in flight, nothing waiting
        checking,  // a feed request or its download is in flight
        ready,     // ready_ has been verified and waits
        done,      // install has run for the app's end: nothing more happens
    };

    void askFeed(const std::string& url, bool quiet);
    // Whether the check in flight may be given up for the user's.
    bool stuck() const;
    void onFeed(const Checked<std::string>& body, const std::string& feedUrl, bool quiet);
    void download(const NewerBuild& newer, bool quiet);
    // Says, or logs, why the archive `newer` names was refused when it was last seen;
    // false when it was not.
    bool refusedBefore(const NewerBuild& newer, bool quiet);
    void onDownloaded(const Checked<std::string>& result, const NewerBuild& newer, bool quiet);
    void offer();
    void onOfferAnswer(OfferAnswer answer);
    void tell(const Message& message, std::function<void()> done = {});
    // Forgets the waiting update and removes the scratch folder.
    void drop();
    // What the checks compare a new bundle with: the running bundle's identity and team.
    RunningApp running() const;
    std::string executable() const;

    UpdaterDriver& driver_;
    UpdateTransport& transport_;
    StartScript startScript_;
    const std::int64_t current_;
    Stage stage_ = Stage::idle;
    Ready ready_;
    // The transfer in flight (feed or archive), and which check it belongs to: answers of
    // a check that was replaced are ignored.
    std::shared_ptr<TransferProgress> transfer_;
    bool downloading_ = false;
    std::uint64_t attempt_ = 0;
    // The remembered refusal a quiet check has logged in this run, by digest.
    std::string loggedRefused_;
    // One of our alerts is up. GTK has no blocking modal run: a timer's check could
    // otherwise pile a second alert on one the user has not answered yet.
    bool showing_ = false;
};

}  // namespace mirovan
