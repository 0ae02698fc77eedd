// The updater's schedule and its alerts, attached to the main window.
#include "app/Updates.h"

#include "platform/AlertDialog.h"

namespace mirovan {

namespace {

constexpr guint firstCheckSeconds = 15;
constexpr guint checkIntervalSeconds = 6 * 60 * 60;

gboolean onQuietCheck(gpointer updater) {
    static_cast<Updater*>(updater)->check(true);
    return G_SOURCE_CONTINUE;
}

}  // namespace

Updates::Updates(const Bundle& bundle, std::function<GtkWindow*()> window,
                 std::function<void(std::function<void()>)> leavePage, std::function<void()> quit)
    : bundle_(bundle),
      window_(std::move(window)),
      leavePage_(std::move(leavePage)),
      quit_(std::move(quit)),
      updater_(*this) {}

void Updates::start() {
    updater_.clearLeftovers();
    g_timeout_add_seconds(
        firstCheckSeconds,
        +[](gpointer updater) -> gboolean {
            onQuietCheck(updater);
            return G_SOURCE_REMOVE;
        },
        &updater_);
    // Repeats until the process ends.
    g_timeout_add_seconds(checkIntervalSeconds, onQuietCheck, &updater_);
}

void Updates::check() { updater_.check(false); }

void Updates::installAtQuit() { updater_.install(false); }

void Updates::showAlert(const Alert& alert, std::function<void(std::optional<std::size_t>)> answered) {
    GtkWindow* window = window_();
    if (!window) {
        answered(std::nullopt);
        return;
    }
    mirovan::showAlert(window, alert, [answered = std::move(answered)](AlertAnswer answer) { answered(answer.button); });
}

}  // namespace mirovan
