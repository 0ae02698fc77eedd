// The menu bar's GActions and GMenu. GNOME windows have no menu bar of their own; the
// page draws the top strip, so the menu is exported for desktops with a global menu and
// opened in the window as a popover on F10 or a lone Alt.
#include "app/Menu.h"

#include "app/Window.h"
#include "platform/Compat.h"
#include "web/LoneAlt.h"
#include "web/MenuTable.h"
#include "web/Strip.h"

namespace mirovan {

namespace {

GMenuModel* buildModel(const std::string& name) {
    GMenu* bar = g_menu_new();
    for (const BarMenu& column : menuTable(name)) {
        g_autoptr(GMenu) menu = g_menu_new();
        g_autoptr(GMenu) section = g_menu_new();
        for (const MenuItem& item : column.items) {
            if (item.title.empty()) {
                g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
                g_clear_object(&section);
                section = g_menu_new();
                continue;
            }
            g_autoptr(GMenuItem) entry = g_menu_item_new(item.title.c_str(), item.action.c_str());
            if (!item.accel.empty()) g_menu_item_set_attribute(entry, "accel", "s", item.accel.c_str());
            g_menu_append_item(section, entry);
        }
        g_menu_append_section(menu, nullptr, G_MENU_MODEL(section));
        g_menu_append_submenu(bar, column.title.c_str(), G_MENU_MODEL(menu));
    }
    return G_MENU_MODEL(bar);
}

void popUp(GtkWidget* button) { gtk_menu_button_popup(GTK_MENU_BUTTON(button)); }

bool isAlt(guint key) { return key == GDK_KEY_Alt_L || key == GDK_KEY_Alt_R; }

gboolean onKeyPressed(GtkEventControllerKey*, guint key, guint, GdkModifierType state, gpointer data) {
    auto* watch = static_cast<Menu::AltWatch*>(data);
    watch->alt.keyPressed(isAlt(key));
    if (key == GDK_KEY_F10 && !(state & GDK_MODIFIER_MASK)) {
        popUp(watch->button);
        return TRUE;
    }
    return FALSE;
}

void onKeyReleased(GtkEventControllerKey*, guint key, guint, GdkModifierType, gpointer data) {
    auto* watch = static_cast<Menu::AltWatch*>(data);
    if (watch->alt.keyReleased(isAlt(key))) popUp(watch->button);
}

gboolean onEvent(GtkEventControllerLegacy*, GdkEvent* event, gpointer data) {
    if (gdk_event_get_event_type(event) == GDK_BUTTON_PRESS) static_cast<Menu::AltWatch*>(data)->alt.clicked();
    return FALSE;
}

// An invisible anchor at the window's top-left corner, under the window buttons, that owns
// the in-window menu.
GtkWidget* menuAnchor(Window& window, GMenuModel* model) {
    GtkWidget* button = gtk_menu_button_new();
    gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button), model);
    GtkPopover* popover = gtk_menu_button_get_popover(GTK_MENU_BUTTON(button));
    gtk_popover_set_has_arrow(popover, FALSE);
    // Opens rightward from the anchor, inside the window, rather than centred on it.
    gtk_widget_set_halign(GTK_WIDGET(popover), GTK_ALIGN_START);
    gtk_widget_set_opacity(button, 0);
    gtk_widget_set_can_target(button, FALSE);
    gtk_widget_set_focusable(button, FALSE);
    gtk_widget_set_size_request(button, 1, 1);
    gtk_widget_set_halign(button, GTK_ALIGN_START);
    gtk_widget_set_valign(button, GTK_ALIGN_START);
    gtk_widget_set_margin_start(button, static_cast<int>(strip::menuLeft));
    gtk_widget_set_margin_top(button, static_cast<int>(strip::menuTop));
    window.addOverlay(button);
    return button;
}

// Keys go to the page first: the application's shortcuts get only what the web view passes
// on, which is what the page did not take (did not call preventDefault on). Quit alone stays
// ahead of the page, so that a page can never keep the app from quitting.
void pageFirst(GtkApplication* application, GtkWindow* window) {
    compat::pageKeysFirst(window);
    addQuitShortcut(application, GTK_WIDGET(window), gtk_named_action_new("app.quit"));
}

}  // namespace

void addQuitShortcut(GtkApplication* application, GtkWidget* widget, GtkShortcutAction* action) {
    g_auto(GStrv) accels = gtk_application_get_accels_for_action(application, "app.quit");
    if (!accels || !accels[0]) {
        g_object_unref(action);
        return;
    }
    GtkEventController* quit = gtk_shortcut_controller_new();
    gtk_event_controller_set_propagation_phase(quit, GTK_PHASE_CAPTURE);
    gtk_shortcut_controller_add_shortcut(GTK_SHORTCUT_CONTROLLER(quit),
                                         gtk_shortcut_new(gtk_shortcut_trigger_parse_string(accels[0]), action));
    gtk_widget_add_controller(widget, quit);
}

Menu::Menu(GtkApplication* application, Window& window, const std::string& name, std::vector<MenuCommand> commands)
    : commands_(std::move(commands)) {
    for (MenuCommand& c : commands_) {
        g_autoptr(GSimpleAction) action = g_simple_action_new(c.name, nullptr);
        g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer command) {
                             static_cast<MenuCommand*>(command)->run();
                         }),
                         &c);
        g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action));
    }
    for (const BarMenu& column : menuTable(name))
        for (const MenuItem& item : column.items) {
            if (item.accel.empty() || item.pageKey) continue;
            const char* keys[] = {item.accel.c_str(), nullptr};
            gtk_application_set_accels_for_action(application, item.action.c_str(), keys);
        }

    g_autoptr(GMenuModel) model = buildModel(name);
    gtk_application_set_menubar(application, model);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window.gtk()), FALSE);

    GtkWidget* button = window.menuButton();  // the header bar's, with the native title bar
    if (button)
        gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button), model);
    else
        button = menuAnchor(window, model);
    watch_.button = button;
    pageFirst(application, window.gtk());

    // Seen before the web view so F10 and Alt work while the page has focus.
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(onKeyPressed), &watch_);
    g_signal_connect(keys, "key-released", G_CALLBACK(onKeyReleased), &watch_);
    gtk_widget_add_controller(GTK_WIDGET(window.gtk()), keys);
    GtkEventController* clicks = gtk_event_controller_legacy_new();
    gtk_event_controller_set_propagation_phase(clicks, GTK_PHASE_CAPTURE);
    g_signal_connect(clicks, "event", G_CALLBACK(onEvent), &watch_);
    gtk_widget_add_controller(GTK_WIDGET(window.gtk()), clicks);
}

}  // namespace mirovan
