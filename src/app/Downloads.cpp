// A download asks where to go (the Save dialog, in the Downloads folder, with the server's
// name), writes nothing before the answer, fills a hidden folder beside the target and only
// then renames the data into place. The window shows a thin bar while downloads run and a
// toast when one is done.
#include "app/Downloads.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/Window.h"
#include "platform/Desktop.h"
#include "platform/FileDialog.h"
#include "web/DownloadRule.h"

namespace mirovan {

namespace {

// One download, attached to its WebKitDownload.
struct Saving {
    Downloads::State* all;
    std::string target;               // chosen by the user
    std::string part;                 // the hidden folder that takes the data; empty until chosen
    std::optional<FileId> leftThere;  // what sat at the target once it was chosen
    bool placeholder = false;         // leftThere is our empty file, to be removed if we fail
    bool superseded = false;          // a later download was saved to the same name
    bool ended = false;
    bool failed = false;
};

Saving& savingOf(WebKitDownload* download) {
    return *static_cast<Saving*>(g_object_get_data(G_OBJECT(download), "mirovan-saving"));
}

std::string downloadsFolder() {
    const char* folder = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    if (folder && g_file_test(folder, G_FILE_TEST_IS_DIR)) return folder;
    g_autofree char* fallback = g_build_filename(g_get_home_dir(), "Downloads", nullptr);
    return g_file_test(fallback, G_FILE_TEST_IS_DIR) ? fallback : g_get_home_dir();
}

std::string baseName(const std::string& path) {
    g_autofree char* name = g_path_get_basename(path.c_str());
    return name;
}

std::optional<FileId> fileAt(const std::string& path) {
    GStatBuf info;
    if (g_lstat(path.c_str(), &info) != 0) return std::nullopt;
    return FileId{info.st_dev, info.st_ino};
}

std::string dataOf(const Saving& saving) { return saving.part + "/" + partData; }

// Removes the part folder with whatever WebKit put in it; once it is gone, WebKit's late
// writes or renames into it fail instead of leaving a file.
void removePart(Saving& saving) {
    if (saving.part.empty()) return;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (g_autoptr(GDir) dir = g_dir_open(saving.part.c_str(), 0, nullptr)) {
            while (const char* name = g_dir_read_name(dir)) {
                g_autofree char* path = g_build_filename(saving.part.c_str(), name, nullptr);
                g_unlink(path);
            }
        }
        if (g_rmdir(saving.part.c_str()) == 0 || errno == ENOENT) break;
    }
    saving.part.clear();
}

// Our empty placeholder goes when the download does not complete, unless someone has
// put another file there since.
void removePlaceholder(Saving& saving) {
    if (saving.placeholder && fileAt(saving.target) == saving.leftThere) g_unlink(saving.target.c_str());
    saving.placeholder = false;
}

void showProgress(Downloads::State& all) {
    gtk_widget_set_visible(all.bar, !all.running.empty());
    if (all.running.empty()) return;
    double sum = 0;
    for (WebKitDownload* d : all.running) sum += webkit_download_get_estimated_progress(d);
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(all.bar), sum / static_cast<double>(all.running.size()));
}

void say(Window& window, const std::string& text, const std::optional<std::string>& shown = std::nullopt) {
    AdwToast* toast = adw_toast_new("");
    // A toast's own title is one ellipsized line, which would hide a failure's reason.
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
    gtk_label_set_width_chars(GTK_LABEL(label), std::min(g_utf8_strlen(text.c_str(), -1), glong(50)));
    gtk_label_set_max_width_chars(GTK_LABEL(label), 50);
    gtk_widget_add_css_class(label, "heading");
    adw_toast_set_custom_title(toast, label);
    if (shown) {
        adw_toast_set_button_label(toast, "Show in Files");
        g_autofree char* uri = g_filename_to_uri(shown->c_str(), nullptr, nullptr);
        g_signal_connect_data(
            toast, "button-clicked",
            G_CALLBACK(+[](AdwToast*, gpointer uri) { showInFileManager(static_cast<const char*>(uri)); }),
            g_strdup(uri), +[](gpointer uri, GClosure*) { g_free(uri); }, GConnectFlags(0));
    }
    window.toast(toast);
}

void forget(WebKitDownload* download) {
    Saving& saving = savingOf(download);
    saving.ended = true;
    auto& running = saving.all->running;
    if (auto it = std::find(running.begin(), running.end(), download); it != running.end()) {
        running.erase(it);
        showProgress(*saving.all);
        g_object_unref(download);
    }
}

// A download still running to `target` is given up: the user has just chosen to replace
// what it will become. Its placeholder, which made the Save dialog ask, is passed on.
bool supersede(Downloads::State& all, const std::string& target) {
    bool placeholder = false;
    std::vector<WebKitDownload*> earlier;  // cancelled after the walk: a cancel may end one at once
    for (WebKitDownload* other : all.running) {
        Saving& saving = savingOf(other);
        if (saving.target != target || saving.superseded) continue;
        saving.superseded = true;
        placeholder = placeholder || saving.placeholder;
        saving.placeholder = false;
        earlier.push_back(other);
    }
    for (WebKitDownload* other : earlier) webkit_download_cancel(other);
    return placeholder;
}

// The user's answer: cancel, or start writing into a fresh hidden folder beside the target.
void chosen(WebKitDownload* download, const std::optional<std::string>& target) {
    Saving& saving = savingOf(download);
    if (saving.ended) return;  // it failed while the dialog was up
    if (!target) {
        webkit_download_cancel(download);
        return;
    }
    std::string part = partTemplate(*target);
    if (!g_mkdtemp_full(part.data(), 0700)) {
        say(saving.all->window, failedMessage(baseName(*target), g_strerror(errno)));
        webkit_download_cancel(download);
        return;
    }
    saving.target = *target;
    saving.part = part;
    // A name being downloaded to exists from now on, so that a second Save dialog asks
    // before the same name is chosen again.
    saving.placeholder = supersede(*saving.all, *target);
    if (!saving.placeholder) {
        int fd = g_open(target->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        saving.placeholder = fd >= 0;
        if (fd >= 0) close(fd);
    }
    saving.leftThere = fileAt(*target);
    std::string data = dataOf(saving);
    webkit_download_set_destination(download, data.c_str());
    g_object_ref(download);
    saving.all->running.push_back(download);
    showProgress(*saving.all);
}

gboolean onDecideDestination(WebKitDownload* download, char* suggested, gpointer) {
    Saving& saving = savingOf(download);
    Downloads::State& all = *saving.all;
    // The dialog is modal: while it is up the user cannot have started another download,
    // so one that starts now came from a script, and a page must not pile up dialogs.
    if (all.asking) {
        webkit_download_cancel(download);
        return TRUE;
    }
    all.asking = true;
    g_object_ref(download);
    chooseSaveTarget(all.window.gtk(), downloadsFolder(), proposedName(suggested ? suggested : ""),
                     [download, &all](std::optional<std::string> target) {
                         all.asking = false;
                         chosen(download, target);
                         g_object_unref(download);
                     });
    return TRUE;
}

void onFailed(WebKitDownload* download, GError* error, gpointer) {
    Saving& saving = savingOf(download);
    saving.failed = true;
    removePart(saving);
    removePlaceholder(saving);
    bool cancelled = g_error_matches(error, WEBKIT_DOWNLOAD_ERROR, WEBKIT_DOWNLOAD_ERROR_CANCELLED_BY_USER);
    if (!cancelled && !saving.ended)
        say(saving.all->window,
            failedMessage(baseName(saving.target.empty() ? "download" : saving.target), error->message));
    forget(download);
}

void onFinished(WebKitDownload* download, gpointer) {
    Saving& saving = savingOf(download);
    if (saving.failed || saving.part.empty()) {
        forget(download);
        return;
    }
    std::string name = baseName(saving.target);
    if (!mayPlace(saving.superseded, saving.leftThere, fileAt(saving.target))) {
        if (!saving.superseded) say(saving.all->window, failedMessage(name, "another file took its name meanwhile"));
    } else if (g_rename(dataOf(saving).c_str(), saving.target.c_str()) != 0) {
        int error = errno;
        removePlaceholder(saving);
        say(saving.all->window, failedMessage(name, g_strerror(error)));
    } else {
        say(saving.all->window, savedMessage(name), saving.target);
    }
    removePart(saving);
    forget(download);
}

void onStarted(WebKitDownload* download, Downloads::State* all) {
    g_object_set_data_full(
        G_OBJECT(download), "mirovan-saving", new Saving{all},
        +[](gpointer saving) { delete static_cast<Saving*>(saving); });
    g_signal_connect(download, "decide-destination", G_CALLBACK(onDecideDestination), nullptr);
    g_signal_connect(download, "failed", G_CALLBACK(onFailed), nullptr);
    g_signal_connect(download, "finished", G_CALLBACK(onFinished), nullptr);
    g_signal_connect(
        download, "notify::estimated-progress",
        G_CALLBACK(+[](WebKitDownload* download, GParamSpec*, gpointer) { showProgress(*savingOf(download).all); }),
        nullptr);
}

}  // namespace

Downloads::Downloads(WebView& web, Window& window) : state_(State{window, gtk_progress_bar_new(), {}}) {
    GtkWidget* bar = state_.bar;
    gtk_widget_add_css_class(bar, "osd");
    gtk_widget_set_valign(bar, GTK_ALIGN_END);
    gtk_widget_set_can_target(bar, FALSE);
    gtk_widget_set_visible(bar, FALSE);
    window.addOverlay(bar);
    g_signal_connect(webkit_web_view_get_network_session(web.view()), "download-started",
                     G_CALLBACK(+[](WebKitNetworkSession*, WebKitDownload* download, gpointer all) {
                         onStarted(download, static_cast<State*>(all));
                     }),
                     &state_);
}

void Downloads::dropUnfinished() {
    // The network process goes with the app, and what it was writing would stay half done.
    // A copy, each held: a cancel may end a download at once.
    std::vector<WebKitDownload*> running = state_.running;
    for (WebKitDownload* download : running) g_object_ref(download);
    for (WebKitDownload* download : running) {
        Saving& saving = savingOf(download);
        saving.ended = true;  // no toast for the cancel that follows
        webkit_download_cancel(download);
        removePart(saving);
        removePlaceholder(saving);
        g_object_unref(download);
    }
}

}  // namespace mirovan
