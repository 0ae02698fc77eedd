// The self-updater: it checks the feed when asked, downloads and verifies a newer build,
// offers it, and installs it when the app ends. It reaches the app only through its host.
// Everything here runs on the main thread; only transfers and unpacking run elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/Bundle.h"
#include "platform/Alert.h"
#include "update/Refusal.h"

namespace mirovan {

struct FeedAnswer;
struct Message;
struct RunningApp;

// What the updater needs of the app.
class UpdaterHost {
public:
    virtual const Bundle& bundle() const = 0;
    // CFBundleName, or "Mirovan".
    virtual std::string name() const = 0;
    // Shows `alert` attached to the app's window and returns at once; `answered` gets the
    // button's index, or none when the alert was dismissed or could not be shown.
    virtual void showAlert(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) = 0;
    // Ends the app by its one termination path.
    virtual void quit() = 0;
    // Runs `proceed` once the page agrees to be left (it may keep unsaved work and ask);
    // never, when the user chose to stay.
    virtual void leavePage(std::function<void()> proceed) { proceed(); }

protected:
    ~UpdaterHost() = default;
};

class Updater {
public:
    explicit Updater(UpdaterHost& host);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Looks for a newer build; a quiet check shows nothing but an offer.
    void check(bool quiet);
    // Asks the user to restart into the waiting update.
    void offer(const std::string& label);
    // The updater's one-button message; `dismissed` runs once it has gone.
    void tell(const Message& message, std::function<void()> dismissed = {});
    // Fetches, verifies and unpacks a newer build, then offers it; `checking` stays set
    // until the outcome is in.
    void download(const std::string& url, const std::string& sha256, std::int64_t version, const std::string& name,
                  bool quiet);
    // Hands the waiting update, if any, to a script that swaps the bundles once this
    // process has gone. `then` runs when install has done its part: at once, or after the
    // alert saying the bundle's folder cannot be written has been dismissed.
    void install(bool relaunch, std::function<void()> then = {});

    // MirovanUpdateURL when it is an absolute URL; looked up at every use.
    std::optional<std::string> feed() const;
    // The scratch directory: <user cache>/<identifier or "Mirovan">/update. Nothing is
    // created by asking.
    std::string work() const;

    // Removes what a run that was killed left in work(): set aside at once, deleted on a
    // thread of its own.
    void clearLeftovers();

    struct Ready {
        std::string version;  // the label shown to the user
        std::string app;      // the verified bundle, inside work()
        std::int64_t number;  // the build number it was verified as
    };

    const std::int64_t current;  // the running build's number
    std::optional<Ready> ready;  // a verified update waiting to be installed
    bool checking = false;       // a feed request, or the download it started, is in flight

private:
    void onFeedAnswer(const FeedAnswer& answer, const std::string& feedUrl, bool quiet);
    void onDownloaded(const Checked<std::string>& result, const std::string& name, std::int64_t version, bool quiet);
    // What the checks compare a new bundle with: the running bundle's identity and team.
    RunningApp running() const;
    void discardScratch();
    // Shows one of our alerts; `answered` gets the button's index, or none when the alert
    // was dismissed or not shown at all.
    void show(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered);
    std::string executable() const;

    UpdaterHost& host_;
    bool showing_ = false;     // one of our alerts is up
    bool handedOver_ = false;  // the swap script owns the scratch folder
};

}  // namespace mirovan
