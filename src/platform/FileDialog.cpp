// File choosing through GtkFileChooserNative, which uses the file chooser portal when the
// desktop offers one and GTK's own dialog otherwise.
#include "platform/FileDialog.h"

#include "platform/Owned.h"

#include <memory>
#include <utility>

namespace mirovan {

namespace {

// Chosen files that have a local path; the page can only be given those.
std::vector<std::string> localPaths(GtkFileChooser* chooser) {
    std::vector<std::string> paths;
    g_autoptr(GListModel) files = gtk_file_chooser_get_files(chooser);
    for (guint i = 0; i < g_list_model_get_n_items(files); ++i) {
        g_autoptr(GFile) file = G_FILE(g_list_model_get_item(files, i));
        g_autofree char* path = g_file_get_path(file);
        if (path) paths.emplace_back(path);
    }
    return paths;
}

// The chooser and the caller's callback, from show until the one response.
class PendingChoice {
public:
    PendingChoice(GtkFileChooserNative* chooser, std::function<void(ChosenFiles)> done)
        : chooser_(chooser), done_(std::move(done)) {}

    // Takes ownership back from the signal connection: the choice ends here.
    static void onResponse(PendingChoice* self, int response) {
        std::unique_ptr<PendingChoice> pending(self);
        ChosenFiles chosen;
        if (response == GTK_RESPONSE_ACCEPT) {
            auto paths = localPaths(GTK_FILE_CHOOSER(pending->chooser_.get()));
            if (!paths.empty()) chosen = std::move(paths);
        }
        auto done = std::move(pending->done_);
        pending.reset();
        done(std::move(chosen));
    }

private:
    Owned<GtkFileChooserNative, g_object_unref> chooser_;
    std::function<void(ChosenFiles)> done_;
};

// Shows the chooser, modal; `done` gets its one answer.
void show(GtkFileChooserNative* chooser, std::function<void(ChosenFiles)> done) {
    // A chooser belongs to its window: a hidden one comes back first.
    GtkWindow* window = gtk_native_dialog_get_transient_for(GTK_NATIVE_DIALOG(chooser));
    if (window && !gtk_widget_get_visible(GTK_WIDGET(window))) gtk_window_present(window);
    // Named after the app, as its window is, not after the program.
    if (window && gtk_window_get_title(window))
        gtk_native_dialog_set_title(GTK_NATIVE_DIALOG(chooser), gtk_window_get_title(window));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    auto* pending = new PendingChoice(chooser, std::move(done));
    g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkNativeDialog*, int response, gpointer self) {
                         PendingChoice::onResponse(static_cast<PendingChoice*>(self), response);
                     }),
                     pending);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

}  // namespace

void chooseFiles(GtkWindow* window, bool multiple, std::function<void(ChosenFiles)> done) {
    // OPEN picks existing files only: a folder is entered, never chosen. No title, filter
    // or starting folder: the chooser's own defaults.
    GtkFileChooserNative* chooser =
        gtk_file_chooser_native_new(nullptr, window, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), multiple);

    show(chooser, std::move(done));
}

void chooseSaveTarget(GtkWindow* window, const std::string& folder, const std::string& name,
                      std::function<void(std::optional<std::string>)> done) {
    GtkFileChooserNative* chooser =
        gtk_file_chooser_native_new(nullptr, window, GTK_FILE_CHOOSER_ACTION_SAVE, nullptr, nullptr);
    g_autoptr(GFile) start = g_file_new_for_path(folder.c_str());
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), start, nullptr);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());

    show(chooser, [done = std::move(done)](ChosenFiles chosen) {
        done(chosen ? std::optional<std::string>(chosen->front()) : std::nullopt);
    });
}

}  // namespace mirovan
