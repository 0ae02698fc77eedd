// The self-updater, one per process: it checks the feed on a schedule and on request,
// downloads and verifies a newer build, offers it, and installs it when the app ends.
// Everything here runs on the main thread; only transfers and unpacking run elsewhere.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace mirovan {

class App;
struct Alert;
struct FeedAnswer;
struct Unpacked;

class Updater {
public:
    static Updater& shared();

    // Attaches the updater to the app and fixes `current`, then schedules the quiet
    // checks: one 15 s from now, then one every 6 hours. Called once, at the end of launch.
    void start(App& app);
    // Looks for a newer build; a quiet check shows nothing but an offer.
    void check(bool quiet);
    // Asks the user to restart into the waiting update.
    void offer(const std::string& label);
    // The updater's one-button message; `dismissed` runs once it has gone.
    void tell(const std::string& message, const std::string& informative,
              std::function<void()> dismissed = {});
    // Fetches, verifies and unpacks a newer build, then offers it; `checking` stays set
    // until the outcome is in.
    void download(const std::string& url, const std::string& sha256, std::int64_t version,
                  const std::string& name, bool quiet);
    // Hands the waiting update, if any, to a script that swaps the bundles once this
    // process has gone. `then` runs when install has done its part: at once, or after the
    // alert saying the bundle's folder cannot be written has been dismissed.
    void install(bool relaunch, std::function<void()> then = {});

    // MirovanUpdateURL when it is an absolute URL; looked up at every use.
    std::optional<std::string> feed() const;
    // The scratch directory: <user cache>/<identifier or "Mirovan">/update. Nothing is
    // created by asking.
    std::string work() const;

    struct Ready {
        std::string version;  // the label shown to the user
        std::string app;      // the verified bundle, inside work()
    };

    std::int64_t current = 0;      // the running build's number
    std::optional<Ready> ready;    // a verified update waiting to be installed
    bool checking = false;         // a feed request, or the download it started, is in flight
    guint timer = 0;               // the repeating check; never removed

private:
    Updater() = default;
    void onFeedAnswer(const FeedAnswer& answer, const std::string& feedUrl, bool quiet);
    void onDownloaded(const Unpacked& result, const std::string& name, bool quiet);
    // Shows one of our alerts; `answered` gets the button's index, or none when the alert
    // was dismissed or not shown at all.
    void show(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered);
    std::string executable() const;

    App* app_ = nullptr;
    bool showing_ = false;  // one of our alerts is up
};

}  // namespace mirovan
