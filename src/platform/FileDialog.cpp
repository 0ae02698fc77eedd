// File choosing through GtkFileDialog (GTK 4.10 and later) or GtkFileChooserNative (before),
// either of which uses the file chooser portal when the desktop offers one and GTK's own
// dialog otherwise.
#include "platform/FileDialog.h"

#include "platform/Owned.h"

#include <memory>
#include <utility>

namespace mirovan {

namespace {

// The window comes back first, if hidden: a chooser belongs to it. The chooser is named
// after the app, as its window is, not after the program.
const char* prepareWindow(GtkWindow* window) {
    if (window && !gtk_widget_get_visible(GTK_WIDGET(window))) gtk_window_present(window);
    return window ? gtk_window_get_title(window) : nullptr;
}

// Chosen files that have a local path; the page can only be given those.
std::vector<std::string> localPaths(GListModel* files) {
    std::vector<std::string> paths;
    for (guint i = 0; files && i < g_list_model_get_n_items(files); ++i) {
        g_autoptr(GFile) file = G_FILE(g_list_model_get_item(files, i));
        g_autofree char* path = g_file_get_path(file);
        if (path) paths.emplace_back(path);
    }
    return paths;
}

ChosenFiles chosenOrNone(std::vector<std::string> paths) {
    return paths.empty() ? ChosenFiles() : ChosenFiles(std::move(paths));
}

#if GTK_CHECK_VERSION(4, 10, 0)

enum class Kind { open, openMultiple, save };

// The dialog and the caller's callback, from show until the one answer.
struct PendingChoice {
    Owned<GtkFileDialog, g_object_unref> dialog;
    Kind kind;
    std::function<void(ChosenFiles)> done;

    // Takes ownership back from the call: the choice ends here. Cancelled or dismissed
    // comes as an error, and answers none.
    static void onFinished(GObject*, GAsyncResult* result, gpointer data) {
        std::unique_ptr<PendingChoice> self(static_cast<PendingChoice*>(data));
        GtkFileDialog* dialog = self->dialog.get();
        std::vector<std::string> paths;
        if (self->kind == Kind::openMultiple) {
            g_autoptr(GListModel) files = gtk_file_dialog_open_multiple_finish(dialog, result, nullptr);
            paths = localPaths(files);
        } else {
            g_autoptr(GFile) file = self->kind == Kind::open ? gtk_file_dialog_open_finish(dialog, result, nullptr)
                                                             : gtk_file_dialog_save_finish(dialog, result, nullptr);
            g_autofree char* path = file ? g_file_get_path(file) : nullptr;
            if (path) paths.emplace_back(path);
        }
        auto done = std::move(self->done);
        self.reset();
        done(chosenOrNone(std::move(paths)));
    }
};

void show(GtkWindow* window, GtkFileDialog* dialog, Kind kind, std::function<void(ChosenFiles)> done) {
    if (const char* title = prepareWindow(window)) gtk_file_dialog_set_title(dialog, title);
    gtk_file_dialog_set_modal(dialog, TRUE);
    auto* pending = new PendingChoice{Owned<GtkFileDialog, g_object_unref>(dialog), kind, std::move(done)};
    switch (kind) {
        case Kind::open: gtk_file_dialog_open(dialog, window, nullptr, PendingChoice::onFinished, pending); break;
        case Kind::openMultiple:
            gtk_file_dialog_open_multiple(dialog, window, nullptr, PendingChoice::onFinished, pending);
            break;
        case Kind::save: gtk_file_dialog_save(dialog, window, nullptr, PendingChoice::onFinished, pending); break;
    }
}

}  // namespace

void chooseFiles(GtkWindow* window, bool multiple, std::function<void(ChosenFiles)> done) {
    // Opening picks existing files only: a folder is entered, never chosen. No filter or
    // starting folder: the chooser's own defaults.
    show(window, gtk_file_dialog_new(), multiple ? Kind::openMultiple : Kind::open, std::move(done));
}

void chooseSaveTarget(GtkWindow* window, const std::string& folder, const std::string& name,
                      std::function<void(std::optional<std::string>)> done) {
    GtkFileDialog* dialog = gtk_file_dialog_new();
    g_autoptr(GFile) start = g_file_new_for_path(folder.c_str());
    gtk_file_dialog_set_initial_folder(dialog, start);
    gtk_file_dialog_set_initial_name(dialog, name.c_str());
    show(window, dialog, Kind::save, [done = std::move(done)](ChosenFiles chosen) {
        done(chosen ? std::optional<std::string>(chosen->front()) : std::nullopt);
    });
}

#else

// The chooser and the caller's callback, from show until the one response.
class PendingChoice {
public:
    PendingChoice(GtkFileChooserNative* chooser, std::function<void(ChosenFiles)> done)
        : chooser_(chooser), done_(std::move(done)) {}

    // Takes ownership back from the signal connection: the choice ends here.
    static void onResponse(PendingChoice* self, int response) {
        std::unique_ptr<PendingChoice> pending(self);
        std::vector<std::string> paths;
        if (response == GTK_RESPONSE_ACCEPT) {
            g_autoptr(GListModel) files = gtk_file_chooser_get_files(GTK_FILE_CHOOSER(pending->chooser_.get()));
            paths = localPaths(files);
        }
        auto done = std::move(pending->done_);
        pending.reset();
        done(chosenOrNone(std::move(paths)));
    }

private:
    Owned<GtkFileChooserNative, g_object_unref> chooser_;
    std::function<void(ChosenFiles)> done_;
};

// Shows the chooser, modal; `done` gets its one answer.
void show(GtkFileChooserNative* chooser, std::function<void(ChosenFiles)> done) {
    GtkWindow* window = gtk_native_dialog_get_transient_for(GTK_NATIVE_DIALOG(chooser));
    if (const char* title = prepareWindow(window)) gtk_native_dialog_set_title(GTK_NATIVE_DIALOG(chooser), title);
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

#endif

}  // namespace mirovan
