// The updater's place in the app: its host (the bundle, alerts on the main window,
// quitting) and its schedule of quiet checks, 15 s after launch and then every 6 hours.
#pragma once

#include <glib.h>

#include "update/Updater.h"

namespace mirovan {

class App;

class Updates final : public UpdaterHost {
public:
    explicit Updates(App& app);
    Updates(const Updates&) = delete;
    Updates& operator=(const Updates&) = delete;

    // Clears what a killed run left and schedules the quiet checks; called once, at the
    // end of launch.
    void start();

    const Bundle& bundle() const override;
    std::string name() const override;
    void showAlert(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) override;
    void quit() override;
    void leavePage(std::function<void()> proceed) override;

private:
    App& app_;  // before updater, which asks for the bundle as it is made

public:
    Updater updater;
    guint timer = 0;  // the repeating check; never removed
};

}  // namespace mirovan
