// Asking the page whether it may be left, and the user when the page says it has unsaved work.
#include "app/PageGuard.h"

#include <memory>
#include <utility>

#include "app/Window.h"
#include "core/Trace.h"
#include "platform/Compat.h"
#include "platform/AlertDialog.h"

namespace mirovan {

namespace {

constexpr guint leaveAnswerSeconds = 3;

}  // namespace

PageGuard::PageGuard(WebView& web, Window& window) : web_(web), window_(window) {
    g_signal_connect(web_.view(), "close",
                     G_CALLBACK(+[](WebKitWebView*, gpointer self) { static_cast<PageGuard*>(self)->onCloseReported(); }),
                     this);
    g_signal_connect(web_.view(), "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self) {
                         static_cast<PageGuard*>(self)->setRunning(false);
                     }),
                     this);
    g_signal_connect(web_.view(), "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         if (event == WEBKIT_LOAD_COMMITTED) static_cast<PageGuard*>(self)->setRunning(true);
                     }),
                     this);
    g_signal_connect(web_.view(), "notify::is-web-process-responsive",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                         auto* guard = static_cast<PageGuard*>(self);
                         if (guard->changed_) guard->changed_();
                     }),
                     this);
}

PageGuard::~PageGuard() { stopWaiting(); }

void PageGuard::setRunning(bool running) {
    running_ = running;
    if (changed_) changed_();
}

void PageGuard::leavePage(std::function<void()> command) {
    if (command_) return;  // already asking
    if (!canAnswer()) {
        // A page whose process is gone or hung cannot be asked: nothing would answer.
        trace("leave-unanswerable");
        command();
        return;
    }
    trace("leave-asked");
    command_ = std::move(command);
    ++round_;
    waitForPage();
    // Runs the page's beforeunload handlers without leaving: "close" follows when it may go.
    webkit_web_view_try_close(web_.view());
}

void PageGuard::stopWaiting() {
    if (timeout_) g_source_remove(timeout_);
    timeout_ = 0;
}

void PageGuard::run() {
    stopWaiting();
    if (auto command = std::exchange(command_, nullptr)) command();
}

// A page whose process does not answer (hung, or gone) must not hold the command forever.
void PageGuard::waitForPage() {
    stopWaiting();
    timeout_ = g_timeout_add_seconds(
        leaveAnswerSeconds,
        +[](gpointer self) -> gboolean {
            auto* guard = static_cast<PageGuard*>(self);
            guard->timeout_ = 0;
            trace("leave-unanswered");
            guard->run();
            return G_SOURCE_REMOVE;
        },
        this);
}

// "close" alone does not say the page agreed (it may not have answered yet); the command
// runs once it has.
void PageGuard::onCloseReported() {
    if (!command_) return;  // the page closing itself, or an answered question
    compat::afterPageAnswered(web_.view(), [this, round = round_] {
        if (round == round_) run();
    });
}

void PageGuard::onBeforeUnload(WebKitScriptDialog* dialog) {
    if (!command_) {
        // The page's own navigations are never asked about: leave at once, with no dialog.
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        return;
    }
    ask(dialog);
}

void PageGuard::ask(WebKitScriptDialog* dialog) {
    stopWaiting();  // the user answers now, however long they take
    trace("leave-question");
    // "Stay" is the default: Return keeps the work unless the user moved to "Leave".
    Alert alert{"Leave this page?", {"Leave", "Stay"}, std::nullopt, "Changes you made may not be saved.", 1};
    std::shared_ptr<WebKitScriptDialog> kept(webkit_script_dialog_ref(dialog), webkit_script_dialog_unref);
    showAlert(window_.gtk(), alert, [this, kept](AlertAnswer closed) {
        bool leave = closed.button == std::size_t{0};
        trace(leave ? "leave-answered-leave" : "leave-answered-stay");
        webkit_script_dialog_confirm_set_confirmed(kept.get(), leave);
        webkit_script_dialog_close(kept.get());
        if (leave)
            run();
        else
            command_ = nullptr;
    });
}

}  // namespace mirovan
