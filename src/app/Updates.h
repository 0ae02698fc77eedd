// The updater's place in the app: its driver (alerts on the main window, leaving the
// page, quitting) and its schedule of quiet checks, 15 s after launch and then every 6 hours.
#pragma once

#include <glib.h>
#include <gtk/gtk.h>

#include <functional>

#include "update/HttpTransport.h"
#include "update/Updater.h"

namespace mirovan {

class Updates final : public UpdaterDriver {
public:
    // `window` is the main window or null; `leavePage` runs its argument once the page
    // agrees to be left; `quit` ends the app.
    Updates(const Bundle& bundle, std::function<GtkWindow*()> window,
            std::function<void(std::function<void()>)> leavePage, std::function<void()> quit);
    Updates(const Updates&) = delete;
    Updates& operator=(const Updates&) = delete;

    // Clears what a killed run left and schedules the quiet checks; called once, at the
    // end of launch.
    void start();
    // The menu's check, which reports its outcome, or a quiet one.
    void check(bool quiet);
    // The app is ending: the waiting update, if any, goes in.
    void installAtQuit();

    const Bundle& bundle() const override;
    std::string name() const override;
    void offer(const std::string& label, std::function<void(OfferAnswer)> reply) override;
    void tell(const Message& message, std::function<void()> done) override;
    void leavePage(std::function<void()> proceed) override;
    void quit() override;

private:
    const Bundle& bundle_;
    std::function<GtkWindow*()> window_;
    std::function<void(std::function<void()>)> leavePage_;
    std::function<void()> quit_;
    HttpTransport transport_;
    Updater updater_;  // last: it asks for the bundle as it is made
};

}  // namespace mirovan
