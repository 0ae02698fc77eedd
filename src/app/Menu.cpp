// The menu bar's GActions and GMenu. GNOME windows have no menu bar of their own; the
// page draws the top strip, so the menu is exported for desktops with a global menu and
// opened in the window as a popover on F10 or a lone Alt.
#include "app/Menu.h"

#include "app/App.h"
#include "app/Dialogs.h"
#include "web/LoneAlt.h"
#include "web/MenuTable.h"

namespace mirovan {

namespace {

struct Command {
    const char* name;
    void (*run)(App&);
};

void editing(App& app, const char* command) { webkit_web_view_execute_editing_command(app.web->view(), command); }

const Command commands[] = {
    {"about", [](App& app) { app.about(); }},
    {"check-for-updates", [](App& app) { app.checkForUpdates(); }},
    {"hide", [](App& app) { gtk_widget_set_visible(GTK_WIDGET(app.window), FALSE); }},
    {"quit", [](App& app) { leavePage(app, [&app] { app.quit(); }); }},
    {"undo", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_UNDO); }},
    {"redo", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_REDO); }},
    {"cut", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_CUT); }},
    {"copy", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_COPY); }},
    {"paste", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_PASTE); }},
    {"select-all", [](App& app) { editing(app, WEBKIT_EDITING_COMMAND_SELECT_ALL); }},
    {"reload", [](App& app) { leavePage(app, [&app] { app.reload(); }); }},
    {"recovery", [](App& app) { leavePage(app, [&app] { app.recovery(); }); }},
    {"minimize", [](App& app) { gtk_window_minimize(app.window); }},
    {"zoom", [](App& app) { app.toggleZoom(); }},
    {"close", [](App& app) { gtk_window_close(app.window); }},
};

void onCommand(GSimpleAction* action, GVariant*, gpointer self) {
    const char* name = g_action_get_name(G_ACTION(action));
    for (const Command& c : commands)
        if (g_str_equal(c.name, name)) c.run(*static_cast<App*>(self));
}

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

struct AltWatch {
    GtkWidget* button = nullptr;
    LoneAlt alt;
};

bool isAlt(guint key) { return key == GDK_KEY_Alt_L || key == GDK_KEY_Alt_R; }

gboolean onKeyPressed(GtkEventControllerKey*, guint key, guint, GdkModifierType state, gpointer data) {
    auto* watch = static_cast<AltWatch*>(data);
    watch->alt.keyPressed(isAlt(key));
    if (key == GDK_KEY_F10 && !(state & GDK_MODIFIER_MASK)) {
        popUp(watch->button);
        return TRUE;
    }
    return FALSE;
}

void onKeyReleased(GtkEventControllerKey*, guint key, guint, GdkModifierType, gpointer data) {
    auto* watch = static_cast<AltWatch*>(data);
    if (watch->alt.keyReleased(isAlt(key))) popUp(watch->button);
}

gboolean onEvent(GtkEventControllerLegacy*, GdkEvent* event, gpointer data) {
    if (gdk_event_get_event_type(event) == GDK_BUTTON_PRESS) static_cast<AltWatch*>(data)->alt.clicked();
    return FALSE;
}

// An invisible anchor at the window's top-left corner, under the window buttons, that owns
// the in-window menu.
GtkWidget* menuAnchor(App& app, GMenuModel* model) {
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
    gtk_widget_set_margin_start(button, 18);
    gtk_widget_set_margin_top(button, 30);
    app.addOverlay(button);
    return button;
}

// Keys go to the page first. GTK runs a window's application shortcuts before the focused
// widget sees the key; moved after it, they get only what the web view passes on, which is
// what the page did not take (did not call preventDefault on). Quit alone stays ahead of
// the page, so that a page can never keep the app from quitting.
void pageFirst(App& app) {
    g_autoptr(GListModel) controllers = gtk_widget_observe_controllers(GTK_WIDGET(app.window));
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
        g_autoptr(GtkEventController) controller = GTK_EVENT_CONTROLLER(g_list_model_get_item(controllers, i));
        if (g_strcmp0(gtk_event_controller_get_name(controller), "gtk-application-shortcuts") != 0) continue;
        // A global shortcut controller joins the window's capture or bubble list as it is
        // added, so it is added again in its new phase.
        GtkWidget* window = GTK_WIDGET(app.window);
        gtk_widget_remove_controller(window, GTK_EVENT_CONTROLLER(g_object_ref(controller)));
        gtk_event_controller_set_propagation_phase(controller, GTK_PHASE_BUBBLE);
        gtk_widget_add_controller(window, controller);
    }
    addQuitShortcut(app, GTK_WIDGET(app.window), gtk_named_action_new("app.quit"));
}

}  // namespace

void addQuitShortcut(App& app, GtkWidget* widget, GtkShortcutAction* action) {
    g_auto(GStrv) accels = gtk_application_get_accels_for_action(app.application(), "app.quit");
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

void setUpMenu(App& app) {
    GtkApplication* application = app.application();
    for (const Command& c : commands) {
        g_autoptr(GSimpleAction) action = g_simple_action_new(c.name, nullptr);
        g_signal_connect(action, "activate", G_CALLBACK(onCommand), &app);
        g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action));
    }
    for (const BarMenu& column : menuTable(app.name()))
        for (const MenuItem& item : column.items) {
            if (item.accel.empty() || item.pageKey) continue;
            const char* keys[] = {item.accel.c_str(), nullptr};
            gtk_application_set_accels_for_action(application, item.action.c_str(), keys);
        }

    g_autoptr(GMenuModel) model = buildModel(app.name());
    gtk_application_set_menubar(application, model);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(app.window), FALSE);

    GtkWidget* button = app.menuButton;  // the header bar's, with the native title bar
    if (button)
        gtk_menu_button_set_menu_model(GTK_MENU_BUTTON(button), model);
    else
        button = menuAnchor(app, model);
    pageFirst(app);

    // Seen before the web view so F10 and Alt work while the page has focus.
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    auto* watch = new AltWatch{button};  // lives as long as the window
    g_signal_connect(keys, "key-pressed", G_CALLBACK(onKeyPressed), watch);
    g_signal_connect(keys, "key-released", G_CALLBACK(onKeyReleased), watch);
    gtk_widget_add_controller(GTK_WIDGET(app.window), keys);
    GtkEventController* clicks = gtk_event_controller_legacy_new();
    gtk_event_controller_set_propagation_phase(clicks, GTK_PHASE_CAPTURE);
    g_signal_connect(clicks, "event", G_CALLBACK(onEvent), watch);
    gtk_widget_add_controller(GTK_WIDGET(app.window), clicks);
}

}  // namespace mirovan
