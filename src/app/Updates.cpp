// The updater's schedule and its alerts, attached to the main window.
#include "app/Updates.h"

#include "app/App.h"
#include "app/Dialogs.h"
#include "platform/AlertDialog.h"

namespace mirovan {

namespace {

constexpr guint firstCheckSeconds = 15;
constexpr guint checkIntervalSeconds = 6 * 60 * 60;

gboolean onQuietCheck(gpointer self) {
    static_cast<Updates*>(self)->updater.check(true);
    return G_SOURCE_CONTINUE;
}

}  // namespace

Updates::Updates(App& app) : app_(app), updater(*this) {}

void Updates::start() {
    updater.clearLeftovers();
    g_timeout_add_seconds(
        firstCheckSeconds,
        +[](gpointer self) -> gboolean {
            onQuietCheck(self);
            return G_SOURCE_REMOVE;
        },
        this);
    timer = g_timeout_add_seconds(checkIntervalSeconds, onQuietCheck, this);
}

const Bundle& Updates::bundle() const { return app_.bundle(); }

std::string Updates::name() const { return app_.name(); }

void Updates::showAlert(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) {
    if (!app_.window) {
        answered(std::nullopt);
        return;
    }
    mirovan::showAlert(app_.window, alert,
                       [answered = std::move(answered)](AlertAnswer answer) { answered(answer.button); });
}

void Updates::quit() { app_.quit(); }

void Updates::leavePage(std::function<void()> proceed) { mirovan::leavePage(app_, std::move(proceed)); }

}  // namespace mirovan
