// The page's alert, confirm and prompt as alerts of the main window, and its file inputs
// through the file chooser. WebKit holds the page's script until each is answered.
#include "app/Dialogs.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/App.h"
#include "app/Menu.h"
#include "core/Trace.h"
#include "platform/AlertDialog.h"
#include "platform/FileDialog.h"

namespace mirovan {

namespace {

// Keeps a dialog or request for the asynchronous answer; dropping the last reference
// without answering lets WebKit answer it as refused.
using ScriptDialogRef = std::shared_ptr<WebKitScriptDialog>;
using FileRequestRef = std::shared_ptr<WebKitFileChooserRequest>;

ScriptDialogRef keep(WebKitScriptDialog* dialog) {
    return {webkit_script_dialog_ref(dialog), webkit_script_dialog_unref};
}

FileRequestRef keep(WebKitFileChooserRequest* request) {
    return {WEBKIT_FILE_CHOOSER_REQUEST(g_object_ref(request)), g_object_unref};
}

std::string text(const char* s) { return s ? s : ""; }

// What the page's script gets back from a confirm or a prompt.
struct ScriptAnswer {
    bool confirmed = false;
    std::optional<std::string> text;  // none: the script's null
};

// Only the first button, "OK", accepts; every other way of closing refuses.
ScriptAnswer scriptAnswer(const AlertAnswer& closed) {
    bool ok = closed.button == std::size_t{0};
    return {ok, ok ? std::optional<std::string>(closed.field) : std::nullopt};
}

Alert alertFor(WebKitScriptDialog* dialog) {
    Alert alert{text(webkit_script_dialog_get_message(dialog)), {"OK", "Cancel"}, std::nullopt};
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_ALERT: alert.buttons = {"OK"}; break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT: alert.field = text(webkit_script_dialog_prompt_get_default_text(dialog)); break;
    default: break;
    }
    return alert;
}

void answer(WebKitScriptDialog* dialog, const ScriptAnswer& reply) {
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM: webkit_script_dialog_confirm_set_confirmed(dialog, reply.confirmed); break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        // Left unset, the text reaches the script as null, which is what a refusal means.
        if (reply.text) webkit_script_dialog_prompt_set_text(dialog, reply.text->c_str());
        break;
    default: break;
    }
    webkit_script_dialog_close(dialog);
}

// The page's dialogs that are up. A modal dialog has the keys, and the application's
// shortcuts do not reach it, so it gets the one that must always work, Quit; quitting
// closes them all, which answers each as refused.
std::set<GtkWindow*> shown;

void allowQuit(App& app, GtkWindow* dialog) {
    // Straight to quitting: the page is held by this dialog and could not be asked to leave.
    addQuitShortcut(app, GTK_WIDGET(dialog),
                    gtk_callback_action_new(
                        +[](GtkWidget*, GVariant*, gpointer app) -> gboolean {
                            static_cast<App*>(app)->quit();
                            return TRUE;
                        },
                        &app, nullptr));
}

// The command waiting for the page to agree to be left, the timer that runs it anyway when
// the page's process does not answer, and which request this is, so that a late answer to
// an earlier one runs nothing.
struct Leaving {
    std::function<void()> command;
    guint timeout = 0;
    unsigned round = 0;
};
Leaving leaving;

constexpr guint leaveAnswerSeconds = 3;

void stopWaiting() {
    if (leaving.timeout) g_source_remove(leaving.timeout);
    leaving.timeout = 0;
}

void runLeaving() {
    stopWaiting();
    if (auto command = std::exchange(leaving.command, nullptr)) command();
}

// A page whose process does not answer (hung, or gone) must not hold the command forever.
void waitForPage() {
    stopWaiting();
    leaving.timeout = g_timeout_add_seconds(
        leaveAnswerSeconds,
        +[](gpointer) -> gboolean {
            leaving.timeout = 0;
            trace("leave-unanswered");
            runLeaving();
            return G_SOURCE_REMOVE;
        },
        nullptr);
}

// WebKit waits only 50 ms for the page to answer a close request, then reports "close" as if
// the page had agreed; a busy page asks its question after that. So "close" is not taken on
// its word: the page runs a script only once its beforeunload handlers, and any question they
// raise, are done, and the command runs when that script's answer is back.
void onCloseReported(WebKitWebView* view) {
    if (!leaving.command) return;  // the page closing itself, or an answered question
    webkit_web_view_evaluate_javascript(
        view, "0", -1, nullptr, nullptr, nullptr,
        +[](GObject* view, GAsyncResult* result, gpointer round) {
            g_autoptr(JSCValue) value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, nullptr);
            if (GPOINTER_TO_UINT(round) == leaving.round) runLeaving();
        },
        GUINT_TO_POINTER(leaving.round));
}

void askToLeave(App& app, WebKitScriptDialog* dialog) {
    stopWaiting();  // the user answers now, however long they take
    trace("leave-question");
    Alert alert{"Leave this page?", {"Leave", "Stay"}, std::nullopt, "Changes you made may not be saved."};
    showAlert(app.window, alert, [kept = keep(dialog)](AlertAnswer closed) {
        bool leave = closed.button == std::size_t{0};
        trace(leave ? "leave-answered-leave" : "leave-answered-stay");
        webkit_script_dialog_confirm_set_confirmed(kept.get(), leave);
        webkit_script_dialog_close(kept.get());
        if (leave)
            runLeaving();
        else
            leaving.command = nullptr;
    });
}

gboolean onScriptDialog(App& app, WebKitScriptDialog* dialog) {
    if (webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
        if (leaving.command) {
            askToLeave(app, dialog);
            return TRUE;
        }
        // The page's own navigations are never asked about: leave at once, with no dialog.
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        return TRUE;
    }
    auto window = std::make_shared<GtkWindow*>(nullptr);
    *window = showAlert(app.window, alertFor(dialog), [kept = keep(dialog), window](AlertAnswer closed) {
        shown.erase(*window);
        answer(kept.get(), scriptAnswer(closed));
    });
    shown.insert(*window);
    allowQuit(app, *window);
    return TRUE;
}

void answer(WebKitFileChooserRequest* request, const ChosenFiles& files) {
    if (!files) {
        webkit_file_chooser_request_cancel(request);
        return;
    }
    std::vector<const char*> paths;
    for (const auto& path : *files) paths.push_back(path.c_str());
    paths.push_back(nullptr);
    webkit_file_chooser_request_select_files(request, paths.data());
}

gboolean onFileChooser(App& app, WebKitFileChooserRequest* request) {
    bool multiple = webkit_file_chooser_request_get_select_multiple(request);
    chooseFiles(app.window, multiple, [kept = keep(request)](const ChosenFiles& files) { answer(kept.get(), files); });
    return TRUE;
}

}  // namespace

void leavePage(App& app, std::function<void()> command) {
    if (leaving.command) return;  // already asking
    trace("leave-asked");
    leaving.command = std::move(command);
    ++leaving.round;
    waitForPage();
    // Runs the page's beforeunload handlers without leaving: "close" follows when it may go.
    webkit_web_view_try_close(app.web->view());
}

void closePageDialogs() {
    for (GtkWindow* dialog : std::set<GtkWindow*>(shown)) gtk_window_destroy(dialog);
}

void connectDialogs(App& app) {
    WebKitWebView* view = app.web->view();
    g_signal_connect(view, "script-dialog",
                     G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) -> gboolean {
                         return onScriptDialog(*static_cast<App*>(self), dialog);
                     }),
                     &app);
    g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView* view, gpointer) { onCloseReported(view); }), nullptr);
    g_signal_connect(view, "run-file-chooser",
                     G_CALLBACK(+[](WebKitWebView*, WebKitFileChooserRequest* request, gpointer self) -> gboolean {
                         return onFileChooser(*static_cast<App*>(self), request);
                     }),
                     &app);
}

}  // namespace mirovan
