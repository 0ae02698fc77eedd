// Launch, the main window with its own window buttons, and the status page.
#include "core/App.h"

#include <glib-unix.h>

#include <cmath>
#include <csignal>
#include <filesystem>

#include "core/StatusPage.h"
#include "core/Trace.h"
#include "core/WindowState.h"
#include "update/Updater.h"
#include "web/Dialogs.h"
#include "web/Menu.h"
#include "web/Navigation.h"
#include "web/PageBridge.h"
#include "web/Reload.h"

namespace mirovan {

namespace {

constexpr double buttonLeft = 18;
constexpr double buttonCentre = 21;
constexpr double buttonStep = 23;

// The page draws the title strip; these small round buttons sit on top of it.
constexpr const char* buttonStyle = R"css(
button.window-dot {
  min-width: 12px; min-height: 12px; padding: 0; margin: 0;
  border-radius: 50%; border: none; box-shadow: inset 0 0 0 1px rgba(0,0,0,0.12);
  -gtk-icon-size: 8px; color: transparent;
}
button.window-dot.close { background: #ff5f57; }
button.window-dot.minimize { background: #febc2e; }
button.window-dot.maximize { background: #28c840; }
button.window-dot:hover { color: rgba(0,0,0,0.6); }
window:backdrop button.window-dot { background: alpha(currentColor, 0.0); box-shadow: inset 0 0 0 1px alpha(#888, 0.5); }
)css";

// Whether a session bus can be reached without GLib starting one that would outlive us.
bool sessionBusAvailable() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    g_autofree char* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
    return g_file_test(socket, G_FILE_TEST_EXISTS);
}

std::string stateFile(const std::string& name) {
    return WindowState::file(g_get_user_state_dir(), name);
}

}  // namespace

App::App(Bundle bundle) : bundle_(std::move(bundle)) {}

int App::run(int argc, char** argv) {
    auto id = bundle_.identifier();
    bool unique = id && g_application_id_is_valid(id->c_str()) && sessionBusAvailable();
    application_ = adw_application_new(unique ? id->c_str() : nullptr,
                                       unique ? G_APPLICATION_DEFAULT_FLAGS : G_APPLICATION_NON_UNIQUE);
    if (unique && !g_application_register(G_APPLICATION(application_), nullptr, nullptr)) {
        // No usable bus after all: run as a lone instance rather than not at all.
        g_object_unref(application_);
        application_ = adw_application_new(nullptr, G_APPLICATION_NON_UNIQUE);
    }
    g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                         auto* app = static_cast<App*>(self);
                         if (app->window)
                             app->reopen();
                         else
                             app->launch();
                     }),
                     this);
    g_signal_connect(application_, "shutdown", G_CALLBACK(+[](GApplication*, gpointer self) {
                         static_cast<App*>(self)->terminate();
                     }),
                     this);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(signal, +[](gpointer self) -> gboolean {
            static_cast<App*>(self)->quit();
            return G_SOURCE_REMOVE;
        }, this);
    // The app takes no arguments of its own; GApplication would refuse files.
    (void)argc;
    return g_application_run(G_APPLICATION(application_), 1, argv);
}

void App::launch() {
    web = std::make_unique<WebView>();
    g_signal_connect(web->view(), "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<App*>(self)->onLoadChanged(event);
                     }),
                     this);
    connectNavigation(*this);
    buildWindow();
    placeButtons();
    connectDialogs(*this);

    web->followPresses(window, [this] { toggleZoom(); });
    connectBridge(*this);
    connectLoadRecovery(*this);
    setUpMenu(*this);

    status("Starting " + name() + "\u2026", "");
    startShell();
    Updater::shared().start(*this);
}

void App::buildWindow() {
    window = GTK_WINDOW(adw_application_window_new(GTK_APPLICATION(application_)));
    gtk_window_set_title(window, name().c_str());

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, buttonStyle, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    overlay_ = gtk_overlay_new();
    GtkWidget* overlay = overlay_;
    gtk_overlay_set_child(GTK_OVERLAY(overlay), web->widget());
    struct Kind {
        const char* style;
        const char* icon;
        const char* tooltip;
        void (*press)(GtkButton*, gpointer);
    };
    const Kind kinds[3] = {
        {"close", "window-close-symbolic", "Close",
         +[](GtkButton*, gpointer self) { gtk_window_close(static_cast<App*>(self)->window); }},
        {"minimize", "window-minimize-symbolic", "Minimize",
         +[](GtkButton*, gpointer self) { gtk_window_minimize(static_cast<App*>(self)->window); }},
        {"maximize", "window-maximize-symbolic", "Zoom",
         +[](GtkButton*, gpointer self) { static_cast<App*>(self)->toggleZoom(); }},
    };
    for (size_t i = 0; i < buttons_.size(); ++i) {
        GtkWidget* b = gtk_button_new_from_icon_name(kinds[i].icon);
        gtk_widget_add_css_class(b, "window-dot");
        gtk_widget_add_css_class(b, kinds[i].style);
        gtk_widget_set_tooltip_text(b, kinds[i].tooltip);
        gtk_widget_set_focusable(b, FALSE);
        gtk_widget_set_halign(b, GTK_ALIGN_START);
        gtk_widget_set_valign(b, GTK_ALIGN_START);
        g_signal_connect(b, "clicked", G_CALLBACK(kinds[i].press), this);
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay), b);
        buttons_[i] = b;
    }
    gtk_widget_set_size_request(overlay, WindowState::minWidth, WindowState::minHeight);
    adw_application_window_set_content(ADW_APPLICATION_WINDOW(window), overlay);

    WindowState state = WindowState::load(stateFile(name()));
    gtk_window_set_default_size(window, state.width, state.height);
    if (state.maximized) gtk_window_maximize(window);
    // Closing the window hides it; the app and its server keep running.
    gtk_window_set_hide_on_close(window, TRUE);

    auto onPlace = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
        static_cast<App*>(self)->placeButtons();
    });
    auto onSize = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
        auto* app = static_cast<App*>(self);
        if (app->saveTimer_) g_source_remove(app->saveTimer_);
        app->saveTimer_ = g_timeout_add(500, +[](gpointer self) -> gboolean {
            auto* app = static_cast<App*>(self);
            app->saveTimer_ = 0;
            app->saveWindowState();
            return G_SOURCE_REMOVE;
        }, app);
    });
    for (const char* property : {"notify::default-width", "notify::default-height", "notify::fullscreened",
                                 "notify::is-active"})
        g_signal_connect(window, property, onPlace, this);
    for (const char* property : {"notify::default-width", "notify::default-height", "notify::maximized"})
        g_signal_connect(window, property, onSize, this);

    gtk_window_present(window);
}

void App::placeButtons() {
    if (!window) return;
    // In full screen there is no title strip to sit in.
    bool fullscreen = gtk_window_is_fullscreen(window);
    for (size_t i = 0; i < buttons_.size(); ++i) {
        GtkWidget* b = buttons_[i];
        if (!b) continue;
        gtk_widget_set_visible(b, !fullscreen);
        if (fullscreen) continue;
        int height = 0;
        gtk_widget_measure(b, GTK_ORIENTATION_VERTICAL, -1, nullptr, &height, nullptr, nullptr);
        // The measured size includes the margins set by the last placement.
        height -= gtk_widget_get_margin_top(b) + gtk_widget_get_margin_bottom(b);
        gtk_widget_set_margin_start(b, static_cast<int>(buttonLeft + buttonStep * static_cast<double>(i)));
        gtk_widget_set_margin_top(b, static_cast<int>(std::lround(buttonCentre - height / 2.0)));
    }
}

void App::addOverlay(GtkWidget* widget) {
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), widget);
}

void App::toggleZoom() {
    if (gtk_window_is_maximized(window))
        gtk_window_unmaximize(window);
    else
        gtk_window_maximize(window);
}

void App::about() {
    auto version = bundle_.string("CFBundleVersion").value_or("");
    GtkWidget* about = adw_about_window_new();
    adw_about_window_set_application_name(ADW_ABOUT_WINDOW(about), name().c_str());
    adw_about_window_set_version(ADW_ABOUT_WINDOW(about), version.c_str());
    adw_about_window_set_application_icon(ADW_ABOUT_WINDOW(about), "application-x-executable");
    gtk_window_set_transient_for(GTK_WINDOW(about), window);
    gtk_window_set_modal(GTK_WINDOW(about), TRUE);
    gtk_window_present(GTK_WINDOW(about));
}

void App::checkForUpdates() {
    Updater::shared().check(false);
}

void App::reopen() {
    if (window) gtk_window_present(window);
}

void App::saveWindowState() {
    if (!window) return;
    WindowState state;
    gtk_window_get_default_size(window, &state.width, &state.height);
    state.maximized = gtk_window_is_maximized(window);
    state.save(stateFile(name()));
}

void App::status(const std::string& title, const std::string& detail) {
    if (!web) return;
    showingStatus_ = true;
    trace("status-shown");
    web->loadDocument(statusDocument(title, detail));
}

void App::onLoadChanged(WebKitLoadEvent event) {
    if (event == WEBKIT_LOAD_FINISHED) trace(showingStatus_ ? "status-loaded" : "page-loaded");
}

}  // namespace mirovan
