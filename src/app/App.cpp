// Launch, the main window with its own window buttons, and the status page.
#include "app/App.h"

#include <gdk/x11/gdkx.h>
#include <glib-unix.h>

#include <cmath>
#include <csignal>
#include <filesystem>

#include "app/Bridge.h"
#include "app/Dialogs.h"
#include "app/Downloads.h"
#include "app/Launcher.h"
#include "app/Menu.h"
#include "app/Navigation.h"
#include "app/Recovery.h"
#include "app/Updates.h"
#include "core/StatusPage.h"
#include "core/Trace.h"
#include "core/WindowState.h"
#include "platform/Session.h"
#include "web/RecoveryRule.h"

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
  color: transparent; font-size: 9px; font-weight: bold;
}
button.window-dot label { padding: 0; margin: 0; min-height: 0; }
button.window-dot.close { background: #ff5f57; }
button.window-dot.minimize { background: #febc2e; }
button.window-dot.maximize { background: #28c840; }
button.window-dot:hover { color: rgba(0,0,0,0.6); }
window:backdrop button.window-dot { background: alpha(currentColor, 0.0); box-shadow: inset 0 0 0 1px alpha(#888, 0.5); }
)css";

std::string stateFile(const std::string& name) { return WindowState::file(g_get_user_state_dir(), name); }

}  // namespace

// An AdwApplication that starts the server at the top of "startup": that runs in the app's
// one instance only, right after the single-instance registration, and before GTK and
// libadwaita initialise (display, GL, style sheets), so the server's start-up overlaps all
// of that. A handler of the signal would run only after the toolkit's own.
struct MirovanApplication {
    AdwApplication parent;
};
struct MirovanApplicationClass {
    AdwApplicationClass parent;
};
G_DEFINE_TYPE(MirovanApplication, mirovan_application, ADW_TYPE_APPLICATION)

static void mirovan_application_startup(GApplication* application) {
    if (auto* app = static_cast<App*>(g_object_get_data(G_OBJECT(application), "mirovan-app"))) app->startShell();
    G_APPLICATION_CLASS(mirovan_application_parent_class)->startup(application);
}

static void mirovan_application_class_init(MirovanApplicationClass* type) {
    G_APPLICATION_CLASS(type)->startup = mirovan_application_startup;
}

static void mirovan_application_init(MirovanApplication*) {}

App::App(Bundle bundle) : bundle_(std::move(bundle)) {}

App::~App() = default;

int App::run(int argc, char** argv) {
    auto id = bundle_.identifier();
    bool valid = id && g_application_id_is_valid(id->c_str());
    // The program's name is the app's identity: the window's class, which docks match
    // with the launcher entry of the same name.
    if (valid) g_set_prgname(id->c_str());
    bool unique = valid && sessionBusReachable();
    makeApplication(unique ? id->c_str() : nullptr);
    // Registered here rather than in g_application_run so that a bus that turns out
    // unusable still leaves a lone instance; "startup" may fire inside this call.
    if (unique && !g_application_register(G_APPLICATION(application_), nullptr, nullptr)) {
        g_object_unref(application_);
        makeApplication(nullptr);
    }
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(
            signal,
            +[](gpointer self) -> gboolean {
                static_cast<App*>(self)->quit();
                return G_SOURCE_REMOVE;
            },
            this);
    // The app takes no arguments of its own; GApplication would refuse files.
    (void)argc;
    return g_application_run(G_APPLICATION(application_), 1, argv);
}

void App::makeApplication(const char* id) {
    application_ = ADW_APPLICATION(g_object_new(mirovan_application_get_type(), "application-id", id, "flags",
                                                id ? G_APPLICATION_DEFAULT_FLAGS : G_APPLICATION_NON_UNIQUE, nullptr));
    g_object_set_data(G_OBJECT(application_), "mirovan-app", this);
    g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                         auto* app = static_cast<App*>(self);
                         if (app->window)
                             app->reopen();
                         else
                             app->launch();
                     }),
                     this);
    g_signal_connect(application_, "shutdown",
                     G_CALLBACK(+[](GApplication*, gpointer self) { static_cast<App*>(self)->terminate(); }), this);
}

void App::launch() {
    // One store per app, named after its identifier, so that two apps never share cookies.
    std::string folder = bundle_.folderName() + "/webkit";
    g_autofree char* store = g_build_filename(g_get_user_data_dir(), folder.c_str(), nullptr);
    g_autofree char* cache = g_build_filename(g_get_user_cache_dir(), folder.c_str(), nullptr);
    web = std::make_unique<WebView>(store, cache);
    g_signal_connect(web->view(), "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<App*>(self)->onLoadChanged(event);
                     }),
                     this);
    connectNavigation(*this);
    buildWindow();
    placeButtons();
    connectDialogs(*this);
    connectDownloads(*this);

    // With the native title bar the header bar moves the window; the page's own strip does not.
    if (!nativeTitleBar()) drag_ = std::make_unique<Drag>(*web, window, [this] { toggleZoom(); });
    connectBridge(*this);
    connectLoadRecovery(*this);
    updates_ = std::make_unique<Updates>(
        bundle_, [this] { return window; },
        [this](std::function<void()> proceed) { leavePage(*this, std::move(proceed)); }, [this] { quit(); });
    setUpMenu(*this);

    // What the server has done so far, in the order the user would have seen it.
    if (pendingStatus_) {
        showStatus(*std::exchange(pendingStatus_, std::nullopt));
    } else {
        status("Starting " + name() + "\u2026", "");
        if (auto page = output.page()) {
            showingStatus_ = false;
            web->loadPage(*page);
            trace("page-request");
        }
    }
    updates_->start();
    // After the first frames: the launcher entry is not needed to show the page.
    g_idle_add_full(
        G_PRIORITY_LOW,
        +[](gpointer self) -> gboolean {
            refreshLauncher(static_cast<App*>(self)->bundle(), programPath());
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
}

void App::buildWindow() {
    // Both halves of WM_CLASS, not the capitalised class GTK would make of the name.
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display)) gdk_x11_display_set_program_class(display, g_get_prgname());
    window = GTK_WINDOW(adw_application_window_new(GTK_APPLICATION(application_)));
    gtk_window_set_title(window, name().c_str());
    if (auto icon = useBundleIcon(bundle_)) {
        iconName_ = *icon;
        gtk_window_set_icon_name(window, icon->c_str());
    }

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, buttonStyle, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    overlay_ = gtk_overlay_new();
    GtkWidget* overlay = overlay_;
    gtk_overlay_set_child(GTK_OVERLAY(overlay), web->widget());
    toasts_ = ADW_TOAST_OVERLAY(adw_toast_overlay_new());
    adw_toast_overlay_set_child(toasts_, overlay);
    gtk_widget_set_size_request(overlay, WindowState::minWidth, WindowState::minHeight);
    if (nativeTitleBar())
        adw_application_window_set_content(ADW_APPLICATION_WINDOW(window), withHeaderBar(GTK_WIDGET(toasts_)));
    else
        addWindowButtons();
    saveAndRestoreState();
    gtk_window_present(window);
}

GtkWidget* App::withHeaderBar(GtkWidget* content) {
    // The desktop's own window buttons, in its layout, and a primary menu; the page below.
    GtkWidget* header = adw_header_bar_new();
    adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), adw_window_title_new(name().c_str(), nullptr));
    menuButton = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton), "open-menu-symbolic");
    gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton), TRUE);
    gtk_widget_set_tooltip_text(menuButton, "Main Menu");
    adw_header_bar_pack_end(ADW_HEADER_BAR(header), menuButton);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_append(GTK_BOX(box), header);
    gtk_box_append(GTK_BOX(box), content);
    return box;
}

void App::addWindowButtons() {
    GtkWidget* overlay = overlay_;
    struct Kind {
        const char* style;
        const char* glyph;  // text, not an icon: SVG icons would load librsvg for three dots
        const char* tooltip;
        void (*press)(GtkButton*, gpointer);
    };
    const Kind kinds[3] = {
        {"close", "\u00d7", "Close",
         +[](GtkButton*, gpointer self) { gtk_window_close(static_cast<App*>(self)->window); }},
        {"minimize", "\u2212", "Minimize",
         +[](GtkButton*, gpointer self) { gtk_window_minimize(static_cast<App*>(self)->window); }},
        {"maximize", "+", "Zoom", +[](GtkButton*, gpointer self) { static_cast<App*>(self)->toggleZoom(); }},
    };
    for (size_t i = 0; i < buttons_.size(); ++i) {
        GtkWidget* b = gtk_button_new_with_label(kinds[i].glyph);
        gtk_widget_add_css_class(b, "window-dot");
        gtk_widget_add_css_class(b, kinds[i].style);
        gtk_widget_set_tooltip_text(b, kinds[i].tooltip);
        // Read out by name, not as the glyph drawn on it.
        gtk_accessible_update_property(GTK_ACCESSIBLE(b), GTK_ACCESSIBLE_PROPERTY_LABEL, kinds[i].tooltip, -1);
        gtk_widget_set_focusable(b, FALSE);
        gtk_widget_set_halign(b, GTK_ALIGN_START);
        gtk_widget_set_valign(b, GTK_ALIGN_START);
        g_signal_connect(b, "clicked", G_CALLBACK(kinds[i].press), this);
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay), b);
        buttons_[i] = b;
    }
    adw_application_window_set_content(ADW_APPLICATION_WINDOW(window), GTK_WIDGET(toasts_));
}

void App::saveAndRestoreState() {
    WindowState state = WindowState::load(stateFile(name()));
    gtk_window_set_default_size(window, state.width, state.height);
    if (state.maximized) gtk_window_maximize(window);
    // Closing the window hides it; the app and its server keep running.
    gtk_window_set_hide_on_close(window, TRUE);

    auto onPlace = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) { static_cast<App*>(self)->placeButtons(); });
    auto onSize = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
        auto* app = static_cast<App*>(self);
        if (app->saveTimer_) g_source_remove(app->saveTimer_);
        app->saveTimer_ = g_timeout_add(
            500,
            +[](gpointer self) -> gboolean {
                auto* app = static_cast<App*>(self);
                app->saveTimer_ = 0;
                app->saveWindowState();
                return G_SOURCE_REMOVE;
            },
            app);
    });
    for (const char* property :
         {"notify::default-width", "notify::default-height", "notify::fullscreened", "notify::is-active"})
        g_signal_connect(window, property, onPlace, this);
    for (const char* property : {"notify::default-width", "notify::default-height", "notify::maximized"})
        g_signal_connect(window, property, onSize, this);
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

void App::addOverlay(GtkWidget* widget) { gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), widget); }

void App::showToast(AdwToast* toast) { adw_toast_overlay_add_toast(toasts_, toast); }

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
    adw_about_window_set_application_icon(ADW_ABOUT_WINDOW(about), iconName_.c_str());
    gtk_window_set_transient_for(GTK_WINDOW(about), window);
    gtk_window_set_modal(GTK_WINDOW(about), TRUE);
    gtk_window_present(GTK_WINDOW(about));
}

void App::checkForUpdates() {
    if (updates_) updates_->check(false);
}

void App::reload() {
    if (auto page = output.page()) web->loadPage(*page);
}

void App::recovery() {
    auto page = output.page();
    if (!page) return;
    if (auto address = recoveryAddress(*page)) web->loadPage(*address);
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
    showingStatus_ = true;
    showStatus(statusDocument(title, detail));
}

void App::showStatus(std::string document) {
    if (!web) {
        pendingStatus_ = std::move(document);
        return;
    }
    trace("status-shown");
    web->loadDocument(document);
}

void App::onLoadChanged(WebKitLoadEvent event) {
    if (event == WEBKIT_LOAD_FINISHED) trace(showingStatus_ ? "status-loaded" : "page-loaded");
}

}  // namespace mirovan
