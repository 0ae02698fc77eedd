// The updater's schedule and its alerts, attached to the main window.
#include "app/Updates.h"

#include "platform/AlertDialog.h"
#include "platform/ChildProcess.h"

namespace mirovan {

namespace {

constexpr guint firstCheckSeconds = 15;
constexpr guint checkIntervalSeconds = 6 * 60 * 60;

gboolean onQuietCheck(gpointer self) {
    static_cast<Updates*>(self)->check(true);
    return G_SOURCE_CONTINUE;
}

}  // namespace

Updates::Updates(const Bundle& bundle, std::function<GtkWindow*()> window,
                 std::function<void(std::function<void()>)> leavePage, std::function<void()> quit)
    : bundle_(bundle),
      window_(std::move(window)),
      leavePage_(std::move(leavePage)),
      quit_(std::move(quit)),
      updater_(*this, transport_, launchDetachedScript) {}

void Updates::start() {
    updater_.clearLeftovers();
    g_timeout_add_seconds(
        firstCheckSeconds,
        +[](gpointer self) -> gboolean {
            onQuietCheck(self);
            return G_SOURCE_REMOVE;
        },
        this);
    // Never removed: the app, and this with it, lasts as long as the main loop.
    g_timeout_add_seconds(checkIntervalSeconds, onQuietCheck, this);
}

void Updates::check(bool quiet) { updater_.check(quiet); }

void Updates::installAtQuit() { updater_.install(false); }

const Bundle& Updates::bundle() const { return bundle_; }

std::string Updates::name() const { return bundle_.name(); }

void Updates::offer(const std::string& label, std::function<void(OfferAnswer)> reply) {
    GtkWindow* window = window_();
    if (!window) return reply(OfferAnswer::later);
    Message message = readyOffer(name(), label);
    showAlert(window, Alert{message.text, {restartButton, laterButton}, std::nullopt, message.informative},
              [reply = std::move(reply)](AlertAnswer answer) {
                  reply(answer.button == std::size_t{0} ? OfferAnswer::restart : OfferAnswer::later);
              });
}

void Updates::tell(const Message& message, std::function<void()> done) {
    GtkWindow* window = window_();
    if (!window) return done();
    showAlert(window, Alert{message.text, {"OK"}, std::nullopt, message.informative},
              [done = std::move(done)](AlertAnswer) { done(); });
}

void Updates::leavePage(std::function<void()> proceed) { leavePage_(std::move(proceed)); }

void Updates::quit() { quit_(); }

}  // namespace mirovan
