// The floor the app's start-up and memory are held against (bench/bench.py): the least
// a GTK 4 program can do to show a page with WebKitGTK. One window, one web view, no
// libadwaita, no application object. Loads the address it is given, writes the same
// trace lines as the app ("mirovan-trace <CLOCK_MONOTONIC microseconds> <event>") so the
// bench reads both alike, and runs until SIGTERM or SIGINT.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <csignal>
#include <cstdio>

namespace {

void trace(const char* event) {
    std::fprintf(stderr, "mirovan-trace %lld %s\n", static_cast<long long>(g_get_monotonic_time()), event);
    std::fflush(stderr);
}

struct Peer {
    GMainLoop* loop = nullptr;
    bool failed = false;
    int status = 0;
};

void onLoadFailed(WebKitWebView*, WebKitLoadEvent, char* uri, GError* error, Peer* peer) {
    std::fprintf(stderr, "bare_webview: cannot load %s: %s\n", uri, error->message);
    peer->failed = true;
}

void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, Peer* peer) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    if (!peer->failed) {
        trace("page-loaded");
        return;
    }
    // A failed load ends the run at once rather than leaving the bench to time out.
    peer->status = 1;
    g_main_loop_quit(peer->loop);
}

gboolean quit(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
    trace("start");
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    gtk_init();
    Peer peer;
    peer.loop = g_main_loop_new(nullptr, FALSE);

    GtkWindow* window = GTK_WINDOW(gtk_window_new());
    // The app's default size, so both draw the same number of pixels.
    gtk_window_set_default_size(window, 1240, 820);
    GtkWidget* view = webkit_web_view_new();
    gtk_window_set_child(window, view);
    g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), &peer);
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), &peer);
    g_signal_connect_swapped(window, "destroy", G_CALLBACK(g_main_loop_quit), peer.loop);
    g_unix_signal_add(SIGTERM, quit, peer.loop);
    g_unix_signal_add(SIGINT, quit, peer.loop);

    gtk_window_present(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    g_main_loop_run(peer.loop);
    g_main_loop_unref(peer.loop);
    return peer.status;
}
