// The toolkit detours, with the version each was checked on and what removes it.
#include "platform/Compat.h"

#include <gdk/x11/gdkx.h>

#include <memory>
#include <utility>

namespace mirovan::compat {

namespace {

struct Version {
    unsigned major, minor;
};

bool newer(Version running, Version checked) {
    return running.major != checked.major ? running.major > checked.major : running.minor > checked.minor;
}

Version gtk() { return {gtk_get_major_version(), gtk_get_minor_version()}; }
Version webkit() { return {webkit_get_major_version(), webkit_get_minor_version()}; }
Version glib() { return {glib_major_version, glib_minor_version}; }

struct Detour {
    const char* name;
    const char* toolkit;
    Version (*running)();
    Version checked;     // the newest version it was checked on
    const char* goesWhen;
};

constexpr Detour detours[] = {
    {"page keys first", "GTK", gtk, {4, 8}, "GTK can run application shortcuts after the focused widget"},
    {"extension folder before the first load", "WebKitGTK", webkit, {2, 50},
     "a folder named in initialize-web-process-extensions reaches the first web process too"},
    {"page answered after close", "WebKitGTK", webkit, {2, 50},
     "webkit_web_view_try_close waits for the page's beforeunload answer instead of 50 ms"},
    {"request timeout timer", "WebKitGTK", webkit, {2, 50}, "WebKitURIRequest or the network session takes a timeout"},
    {"keys dropped by dialogs", "WebKitGTK", webkit, {2, 50},
     "WebKit no longer hands a page's unused keys back after a dialog has come up"},
    {"own press count", "GTK", gtk, {4, 8}, "a click gesture counts the second press after gdk_toplevel_begin_move"},
    {"bus name released by hand", "GLib", glib, {2, 74}, "GApplication can give up its name before it ends"},
    {"GTK_USE_PORTAL=0 as no portals", "GTK", gtk, {4, 18}, "GTK reads GTK_USE_PORTAL, or offers apps a switch"},
    {"user time noted by the window", "GTK", gtk, {4, 18}, "GDK tells the time of the newest user event again"},
};

}  // namespace

// GTK 4.8 runs a window's application shortcuts in the capture phase, ahead of the
// focused web view, and offer no public way to change that; the controller is found by the
// name GTK gives it. A global shortcut controller joins the window's capture or bubble list
// as it is added, so it is added again in its new phase.
bool pageKeysFirst(GtkWindow* window, bool first) {
    g_autoptr(GListModel) controllers = gtk_widget_observe_controllers(GTK_WIDGET(window));
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
        g_autoptr(GtkEventController) controller = GTK_EVENT_CONTROLLER(g_list_model_get_item(controllers, i));
        if (g_strcmp0(gtk_event_controller_get_name(controller), "gtk-application-shortcuts") != 0) continue;
        GtkPropagationPhase phase = first ? GTK_PHASE_BUBBLE : GTK_PHASE_CAPTURE;
        if (gtk_event_controller_get_propagation_phase(controller) == phase) return true;
        gtk_widget_remove_controller(GTK_WIDGET(window), GTK_EVENT_CONTROLLER(g_object_ref(controller)));
        gtk_event_controller_set_propagation_phase(controller, phase);
        gtk_widget_add_controller(GTK_WIDGET(window), controller);
        return true;
    }
    return false;
}

// WebKitGTK 2.50 mounts the extension folder into a web process's sandbox only when the
// folder is known as the process starts: named from the context's
// "initialize-web-process-extensions", it reached every web process but the first, which
// shows the page. So it is named up front.
void useWebProcessExtensions(WebKitWebContext* context, const std::string& folder) {
    webkit_web_context_set_web_process_extensions_directory(context, folder.c_str());
}

// WebKitGTK 2.50 waits only 50 ms for the page to answer a close request, then reports
// "close" as if the page had agreed; a busy page asks its question after that. The page runs
// a script only once its beforeunload handlers, and any question they raise, are done, so
// the script's answer is what says the page has answered.
void afterPageAnswered(WebKitWebView* view, std::function<void()> then) {
    webkit_web_view_evaluate_javascript(
        view, "0", -1, nullptr, nullptr, nullptr,
        +[](GObject* view, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void()>> then(static_cast<std::function<void()>*>(data));
            // The answer itself says nothing; that it came is the point.
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view), result, nullptr))
                g_object_unref(value);
            (*then)();
        },
        new std::function<void()>(std::move(then)));
}

// WebKitGTK 2.50's WebKitURIRequest carries no timeout, so a timer stands in for it.
guint stopLoadAfter(WebKitWebView* view, guint seconds, std::function<void()> then) {
    struct Stop {
        WebKitWebView* view;
        std::function<void()> then;
    };
    return g_timeout_add_seconds_full(
        G_PRIORITY_DEFAULT, seconds,
        +[](gpointer data) -> gboolean {
            auto* stop = static_cast<Stop*>(data);
            webkit_web_view_stop_loading(stop->view);
            stop->then();
            return G_SOURCE_REMOVE;
        },
        new Stop{view, std::move(then)}, +[](gpointer data) { delete static_cast<Stop*>(data); });
}

namespace {

#if GTK_CHECK_VERSION(4, 18, 0)
constexpr const char* userTimeKey = "mirovan-user-time";
#endif

// The time of the newest key press or click the desktop has given this program, if known
// (elsewhere no key is dropped). GTK 4.18 deprecates its X11 calls, the user time among
// them, with nothing in their place, so from there on the windows note it themselves.
guint32 newestUserTime(GtkWidget* widget) {
    GdkDisplay* display = gtk_widget_get_display(widget);
#if GTK_CHECK_VERSION(4, 18, 0)
    return GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(display), userTimeKey));
#else
    return GDK_IS_X11_DISPLAY(display) ? gdk_x11_display_get_user_time(display) : GDK_CURRENT_TIME;
#endif
}

}  // namespace

// WebKitGTK 2.50 hands the page's unused keys back to GTK late, and one may land in a dialog
// once it has the focus: a Return typed just before Ctrl+Q would answer "Leave" for the user.
void dropEarlierKeys(GtkWidget* dialog) {
    guint32 since = newestUserTime(dialog);
    if (since == GDK_CURRENT_TIME) return;
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed",
                     G_CALLBACK(+[](GtkEventControllerKey* keys, guint, guint, GdkModifierType, gpointer since) {
                         GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(keys));
                         if (!event) return FALSE;
                         // Event times are a wrapping 32-bit millisecond clock.
                         auto age = static_cast<gint32>(GPOINTER_TO_UINT(since) - gdk_event_get_time(event));
                         return age >= 0 ? TRUE : FALSE;
                     }),
                     GUINT_TO_POINTER(since));
    gtk_widget_add_controller(dialog, keys);
}

void noteUserTime(GtkWindow* window) {
#if GTK_CHECK_VERSION(4, 18, 0)
    GtkEventController* events = gtk_event_controller_legacy_new();
    gtk_event_controller_set_propagation_phase(events, GTK_PHASE_CAPTURE);
    g_signal_connect(events, "event", G_CALLBACK(+[](GtkEventControllerLegacy* events, GdkEvent* event, gpointer) {
                         GdkEventType type = gdk_event_get_event_type(event);
                         if (type != GDK_KEY_PRESS && type != GDK_BUTTON_PRESS) return FALSE;
                         GObject* display = G_OBJECT(gtk_widget_get_display(
                             gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(events))));
                         auto newest = GPOINTER_TO_UINT(g_object_get_data(display, userTimeKey));
                         guint32 time = gdk_event_get_time(event);
                         // Event times are a wrapping 32-bit millisecond clock.
                         if (newest == 0 || static_cast<gint32>(time - newest) > 0)
                             g_object_set_data(display, userTimeKey, GUINT_TO_POINTER(time));
                         return FALSE;
                     }),
                     nullptr);
    gtk_widget_add_controller(GTK_WIDGET(window), events);
#else
    (void)window;  // the X11 display keeps the user time itself
#endif
}

// GTK 4.8 uses the portals only inside a sandbox, so GTK_USE_PORTAL=0 (GTK 3's switch, which
// GTK 4 does not read) held there by default. GTK 4.18 uses any portal the session bus can
// start, which in a session without a portal backend shows no chooser at all; only
// GDK_DEBUG=no-portals stops it.
void honourPortalSwitch() {
#if GTK_CHECK_VERSION(4, 18, 0)
    if (g_strcmp0(g_getenv("GTK_USE_PORTAL"), "0") != 0) return;
    const char* debug = g_getenv("GDK_DEBUG");
    g_autofree char* flags = debug && *debug ? g_strconcat(debug, ",no-portals", nullptr) : g_strdup("no-portals");
    g_setenv("GDK_DEBUG", flags, TRUE);
#endif
}

// GTK 4.12 replaced loading from data by loading from a string.
void loadStyle(GtkCssProvider* css, const char* text) {
#if GTK_CHECK_VERSION(4, 12, 0)
    gtk_css_provider_load_from_string(css, text);
#else
    gtk_css_provider_load_from_data(css, text, -1);
#endif
}

// GTK 4.12 replaced translating coordinates by computing a point.
bool pointIn(GtkWidget* from, GtkWidget* to, double x, double y, double* toX, double* toY) {
#if GTK_CHECK_VERSION(4, 12, 0)
    graphene_point_t in = GRAPHENE_POINT_INIT(static_cast<float>(x), static_cast<float>(y)), out;
    if (!gtk_widget_compute_point(from, to, &in, &out)) return false;
    *toX = out.x;
    *toY = out.y;
    return true;
#else
    return gtk_widget_translate_coordinates(from, to, x, y, toX, toY);
#endif
}

// GTK 4.8 under X11 makes the class half of WM_CLASS by capitalising the program name; GTK
// 4.18 uses the name as it is for both halves (and deprecates the call that set it).
void useProgramNameAsClass() {
#if !GTK_CHECK_VERSION(4, 18, 0)
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) gdk_x11_display_set_program_class(display, g_get_prgname());
#endif
}

// GTK 4.8 under X11: once a press has handed the pointer to the window manager for a move,
// the gesture starts counting afresh and never reports the second press of a double click.
bool gestureLosesPressCount() { return true; }

// GLib 2.74's GApplication has no call to give up its name before it ends; the name is a
// plain bus name of its connection, so it is released by hand.
void releaseApplicationName(GApplication* application) {
    GDBusConnection* bus = g_application_get_dbus_connection(application);
    const char* id = g_application_get_application_id(application);
    if (!bus || !id) return;
    g_dbus_connection_call(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReleaseName",
                           g_variant_new("(s)", id), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
                           nullptr, nullptr);
}

void report() {
    for (const Detour& d : detours) {
        Version running = d.running();
        if (newer(running, d.checked))
            g_debug("%s %u.%u is newer than %u.%u, where \"%s\" was checked; it can go once %s", d.toolkit,
                    running.major, running.minor, d.checked.major, d.checked.minor, d.name, d.goesWhen);
    }
}

}  // namespace mirovan::compat
