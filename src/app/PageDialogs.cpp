// The page's alert, confirm and prompt as alerts of the main window, and its file inputs
// through the file chooser. WebKit holds the page's script until each is answered.
#include "app/PageDialogs.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/PageGuard.h"
#include "app/Window.h"
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

}  // namespace

PageDialogs::PageDialogs(WebView& web, Window& window, PageGuard& guard, std::function<void(GtkWidget*)> allowQuit)
    : window_(window), guard_(guard), allowQuit_(std::move(allowQuit)) {
    g_signal_connect(web.view(), "script-dialog",
                     G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* dialog, gpointer self) -> gboolean {
                         return static_cast<PageDialogs*>(self)->onScriptDialog(dialog);
                     }),
                     this);
    g_signal_connect(web.view(), "run-file-chooser",
                     G_CALLBACK(+[](WebKitWebView*, WebKitFileChooserRequest* request, gpointer self) -> gboolean {
                         return static_cast<PageDialogs*>(self)->onFileChooser(request);
                     }),
                     this);
}

gboolean PageDialogs::onScriptDialog(WebKitScriptDialog* dialog) {
    if (webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
        guard_.onBeforeUnload(dialog);
        return TRUE;
    }
    auto shown = std::make_shared<GtkWidget*>(nullptr);
    *shown = showAlert(window_.gtk(), alertFor(dialog), [this, kept = keep(dialog), shown](AlertAnswer closed) {
        shown_.erase(*shown);
        answer(kept.get(), scriptAnswer(closed));
    });
    shown_.insert(*shown);
    allowQuit_(*shown);
    return TRUE;
}

gboolean PageDialogs::onFileChooser(WebKitFileChooserRequest* request) {
    bool multiple = webkit_file_chooser_request_get_select_multiple(request);
    chooseFiles(window_.gtk(), multiple, [kept = keep(request)](const ChosenFiles& files) { answer(kept.get(), files); });
    return TRUE;
}

void PageDialogs::closeAll() {
    for (GtkWidget* dialog : std::set<GtkWidget*>(shown_)) closeAlert(dialog);
}

}  // namespace mirovan
