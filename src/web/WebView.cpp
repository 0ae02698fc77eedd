// Building the WebKitWebView and loading into it.
#include "web/WebView.h"

#include <pango/pango.h>

#include "web/HitRule.h"

namespace mirovan {

namespace {

// The status page names -apple-system; WebKitGTK falls back to its default family, so
// make that the desktop's interface font.
void useDesktopFont(WebKitSettings* settings) {
    g_autofree char* fontName = nullptr;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &fontName, nullptr);
    if (!fontName) return;
    PangoFontDescription* font = pango_font_description_from_string(fontName);
    if (const char* family = pango_font_description_get_family(font))
        webkit_settings_set_default_font_family(settings, family);
    pango_font_description_free(font);
}

// Workaround: WebKitGTK 2.50's WebKitURIRequest carries no timeout, so a timer stands in
// for the page request's 60 s and stops a load that got no answer. It can go once the
// request (or the network session) takes a timeout of its own.
constexpr guint requestTimeoutSeconds = 60;

}  // namespace

WebView::WebView() {
    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    useDesktopFont(settings);

    WebKitUserContentManager* content = webkit_user_content_manager_new();
    webkit_user_content_manager_register_script_message_handler(content, "appearance", nullptr);
    webkit_user_content_manager_register_script_message_handler(content, "noDrag", nullptr);

    view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings,
                                         "user-content-manager", content, nullptr));
    g_object_ref_sink(view_);
    g_object_unref(settings);
    g_object_unref(content);

    GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &clear);
    gtk_widget_set_hexpand(widget(), TRUE);
    gtk_widget_set_vexpand(widget(), TRUE);

    g_signal_connect(view_, "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<WebView*>(self)->onLoadChanged(event);
                     }),
                     this);
}

void WebView::loadPage(const std::string& url) {
    stopTimeout();
    g_autoptr(WebKitURIRequest) request = webkit_uri_request_new(url.c_str());
    webkit_web_view_load_request(view_, request);
    timeout_ = g_timeout_add_seconds(requestTimeoutSeconds, onRequestTimeout, this);
}

void WebView::loadDocument(const std::string& html) {
    stopTimeout();
    webkit_web_view_load_html(view_, html.c_str(), nullptr);
}

void WebView::onLoadChanged(WebKitLoadEvent event) {
    // An answer arrived (or the load ended): the request's time limit no longer applies.
    if (event == WEBKIT_LOAD_COMMITTED || event == WEBKIT_LOAD_FINISHED) stopTimeout();
}

gboolean WebView::onRequestTimeout(gpointer self) {
    auto* web = static_cast<WebView*>(self);
    web->timeout_ = 0;
    webkit_web_view_stop_loading(web->view_);
    if (web->timedOut) web->timedOut();
    return G_SOURCE_REMOVE;
}

void WebView::stopTimeout() {
    if (timeout_) g_source_remove(timeout_);
    timeout_ = 0;
}

void WebView::followPresses(GtkWindow* window, std::function<void()> zoom) {
    window_ = window;
    zoom_ = std::move(zoom);
    // On the window in the capture phase, so the press is decided before WebKit sees it.
    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_PRIMARY);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(click), GTK_PHASE_CAPTURE);
    g_signal_connect(click, "pressed", G_CALLBACK(+[](GtkGestureClick* g, int n, double x, double y, gpointer self) {
                         static_cast<WebView*>(self)->onPressed(g, n, x, y);
                     }),
                     this);
    gtk_widget_add_controller(GTK_WIDGET(window), GTK_EVENT_CONTROLLER(click));
}

void WebView::onPressed(GtkGestureClick* gesture, int, double x, double y) {
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(gesture));
    if (!event) return;
    // Workaround: once a press has handed the pointer to the window manager for a move,
    // the gesture starts counting afresh and never reports the second press of a double
    // click (GTK 4.8 under X11), so the presses are counted here.
    int doubleClickTime = 400, doubleClickDistance = 5;
    g_object_get(gtk_widget_get_settings(widget()), "gtk-double-click-time", &doubleClickTime,
                 "gtk-double-click-distance", &doubleClickDistance, nullptr);
    int presses = pressCount_.press(gdk_event_get_time(event), x, y, static_cast<guint32>(doubleClickTime),
                                    doubleClickDistance);

    // Presses on anything but the page itself (the window buttons) are not ours to take.
    GtkWidget* target = gtk_widget_pick(GTK_WIDGET(window_), x, y, GTK_PICK_DEFAULT);
    if (!target || (target != widget() && !gtk_widget_is_ancestor(target, widget()))) return;
    double vx = 0, vy = 0;
    // The window's space is offset from the view's by the client-side decoration.
    if (!gtk_widget_translate_coordinates(GTK_WIDGET(window_), widget(), x, y, &vx, &vy)) return;

    Press press = decidePress(noDrag, vx, vy, presses);
    if (press == Press::page) return;
    gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
    if (press == Press::zoom) {
        if (zoom_) zoom_();
        return;
    }
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window_));
    if (!surface || !GDK_IS_TOPLEVEL(surface)) return;
    double sx = 0, sy = 0;
    gdk_event_get_position(event, &sx, &sy);
    // The window manager moves the window from here until the button is released; this
    // is the one way that works on both Wayland and X11.
    gdk_toplevel_begin_move(GDK_TOPLEVEL(surface), gdk_event_get_device(event), GDK_BUTTON_PRIMARY, sx, sy,
                            gdk_event_get_time(event));
}

}  // namespace mirovan
