// Window drag and zoom from the page's top strip: presses on the window are decided by
// the rule in web/DragRule.h before WebKit sees them, and carried out by the window manager.
#include "web/Drag.h"

#include "platform/Compat.h"

namespace mirovan {

Drag::Drag(WebView& web, GtkWindow* window, std::function<void()> zoom)
    : web_(web), window_(window), zoom_(std::move(zoom)) {
    // On the window in the capture phase, so the press is decided before WebKit sees it.
    GtkGesture* click = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_PRIMARY);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(click), GTK_PHASE_CAPTURE);
    g_signal_connect(click, "pressed", G_CALLBACK(+[](GtkGestureClick* g, int n, double x, double y, gpointer self) {
                         static_cast<Drag*>(self)->onPressed(g, n, x, y);
                     }),
                     this);
    gtk_widget_add_controller(GTK_WIDGET(window), GTK_EVENT_CONTROLLER(click));
}

void Drag::onPressed(GtkGestureClick* gesture, int counted, double x, double y) {
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(gesture));
    if (!event) return;
    int doubleClickTime = 400, doubleClickDistance = 5;
    g_object_get(gtk_widget_get_settings(web_.widget()), "gtk-double-click-time", &doubleClickTime,
                 "gtk-double-click-distance", &doubleClickDistance, nullptr);
    int presses =
        pressCount_.press(gdk_event_get_time(event), x, y, static_cast<guint32>(doubleClickTime), doubleClickDistance);
    if (!compat::gestureLosesPressCount()) presses = counted;

    // Presses on anything but the page itself (the window buttons) are not ours to take.
    GtkWidget* target = gtk_widget_pick(GTK_WIDGET(window_), x, y, GTK_PICK_DEFAULT);
    if (!target || (target != web_.widget() && !gtk_widget_is_ancestor(target, web_.widget()))) return;
    double vx = 0, vy = 0;
    // The window's space is offset from the view's by the client-side decoration.
    if (!compat::pointIn(GTK_WIDGET(window_), web_.widget(), x, y, &vx, &vy)) return;

    Press press = decidePress(web_.noDrag(), vx, vy, presses);
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
