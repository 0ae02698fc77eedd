// The updater's place in the app: its host (the bundle, alerts on the main window,
// quitting) and its schedule of quiet checks, 15 s after launch and then every 6 hours.
#pragma once

#include <gtk/gtk.h>

#include <functional>

#include "update/Updater.h"

namespace mirovan {

class Updates final : public UpdaterHost {
public:
    // `window` is the window the alerts belong to (none: they are not shown); `leavePage`
    // runs its command once the page agrees to be left; `quit` ends the app.
    Updates(const Bundle& bundle, std::function<GtkWindow*()> window,
            std::function<void(std::function<void()>)> leavePage, std::function<void()> quit);
    Updates(const Updates&) = delete;
    Updates& operator=(const Updates&) = delete;

    // Clears what a killed run left and schedules the quiet checks; called once, at the
    // end of launch.
    void start();
    // A check the user asked for: every outcome is told.
    void check();
    // The app is ending: the waiting update, if any, goes in.
    void installAtQuit();

    const Bundle& bundle() const override { return bundle_; }
    std::string name() const override { return bundle_.name(); }
    void showAlert(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) override;
    void quit() override { quit_(); }
    void leavePage(std::function<void()> proceed) override { leavePage_(std::move(proceed)); }

private:
    const Bundle& bundle_;  // before updater_, which asks for the bundle as it is made
    std::function<GtkWindow*()> window_;
    std::function<void(std::function<void()>)> leavePage_;
    std::function<void()> quit_;
    Updater updater_;
};

}  // namespace mirovan
