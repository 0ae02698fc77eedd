// The main window with its own window buttons on the page's strip, or a header bar.
#include "app/Window.h"

#include <cmath>
#include <utility>

#include "app/Launcher.h"
#include "core/WindowState.h"
#include "platform/Compat.h"
#include "web/Strip.h"

namespace mirovan {

namespace {

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

bool nativeTitleBar(const Bundle& bundle) { return bundle.string("MirovanTitleBar") == "native"; }

}  // namespace

Window::Window(GtkApplication* application, const Bundle& bundle, GtkWidget* content) : bundle_(bundle) {
    compat::useProgramNameAsClass();
    GdkDisplay* display = gdk_display_get_default();
    window_ = GTK_WINDOW(adw_application_window_new(application));
    compat::noteUserTime(window_);
    gtk_window_set_title(window_, bundle_.name().c_str());
    if (auto icon = useBundleIcon(bundle_)) {
        iconName_ = *icon;
        gtk_window_set_icon_name(window_, icon->c_str());
    }

    GtkCssProvider* css = gtk_css_provider_new();
    compat::loadStyle(css, buttonStyle);
    gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(css),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);

    overlay_ = gtk_overlay_new();
    gtk_overlay_set_child(GTK_OVERLAY(overlay_), content);
    toasts_ = ADW_TOAST_OVERLAY(adw_toast_overlay_new());
    adw_toast_overlay_set_child(toasts_, overlay_);
    gtk_widget_set_size_request(overlay_, WindowState::minWidth, WindowState::minHeight);
    if (nativeTitleBar(bundle_)) {
        adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), withHeaderBar(GTK_WIDGET(toasts_)));
    } else {
        addWindowButtons();
        adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), GTK_WIDGET(toasts_));
    }
    restoreState();
    gtk_window_present(window_);
    placeButtons();
}

Window::~Window() {
    if (saveTimer_) g_source_remove(saveTimer_);
}

GtkWidget* Window::withHeaderBar(GtkWidget* content) {
    // The desktop's own window buttons, in its layout, and a primary menu; the page below.
    GtkWidget* header = adw_header_bar_new();
    adw_header_bar_set_title_widget(ADW_HEADER_BAR(header), adw_window_title_new(bundle_.name().c_str(), nullptr));
    menuButton_ = gtk_menu_button_new();
    gtk_menu_button_set_icon_name(GTK_MENU_BUTTON(menuButton_), "open-menu-symbolic");
    gtk_menu_button_set_primary(GTK_MENU_BUTTON(menuButton_), TRUE);
    gtk_widget_set_tooltip_text(menuButton_, "Main Menu");
    adw_header_bar_pack_end(ADW_HEADER_BAR(header), menuButton_);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_box_append(GTK_BOX(box), header);
    gtk_box_append(GTK_BOX(box), content);
    return box;
}

void Window::addWindowButtons() {
    struct Kind {
        const char* style;
        const char* glyph;  // text, not an icon: SVG icons would load librsvg for three dots
        const char* tooltip;
        void (*press)(GtkButton*, gpointer);
    };
    const Kind kinds[3] = {
        {"close", "\u00d7", "Close", +[](GtkButton*, gpointer self) { static_cast<Window*>(self)->close(); }},
        {"minimize", "\u2212", "Minimize",
         +[](GtkButton*, gpointer self) { static_cast<Window*>(self)->minimize(); }},
        {"maximize", "+", "Zoom", +[](GtkButton*, gpointer self) { static_cast<Window*>(self)->toggleZoom(); }},
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
        gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), b);
        buttons_[i] = b;
    }
}

void Window::restoreState() {
    WindowState state = WindowState::load(stateFile(bundle_.name()));
    gtk_window_set_default_size(window_, state.width, state.height);
    if (state.maximized) gtk_window_maximize(window_);
    gtk_window_set_hide_on_close(window_, TRUE);

    auto onPlace = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) { static_cast<Window*>(self)->placeButtons(); });
    auto onSize = G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) { static_cast<Window*>(self)->onSizeChanged(); });
    for (const char* property :
         {"notify::default-width", "notify::default-height", "notify::fullscreened", "notify::is-active"})
        g_signal_connect(window_, property, onPlace, this);
    for (const char* property : {"notify::default-width", "notify::default-height", "notify::maximized"})
        g_signal_connect(window_, property, onSize, this);
}

void Window::onSizeChanged() {
    // Written once the user has stopped resizing, not at every step.
    if (kept_) return;
    if (saveTimer_) g_source_remove(saveTimer_);
    saveTimer_ = g_timeout_add(
        500,
        +[](gpointer self) -> gboolean {
            auto* window = static_cast<Window*>(self);
            window->saveTimer_ = 0;
            window->saveState();
            return G_SOURCE_REMOVE;
        },
        this);
}

void Window::placeButtons() {
    // In full screen there is no title strip to sit in.
    bool fullscreen = gtk_window_is_fullscreen(window_);
    for (size_t i = 0; i < buttons_.size(); ++i) {
        GtkWidget* b = buttons_[i];
        if (!b) continue;
        gtk_widget_set_visible(b, !fullscreen);
        if (fullscreen) continue;
        int height = 0;
        gtk_widget_measure(b, GTK_ORIENTATION_VERTICAL, -1, nullptr, &height, nullptr, nullptr);
        // The measured size includes the margins set by the last placement.
        height -= gtk_widget_get_margin_top(b) + gtk_widget_get_margin_bottom(b);
        gtk_widget_set_margin_start(b, static_cast<int>(strip::buttonLeft + strip::buttonStep * static_cast<double>(i)));
        gtk_widget_set_margin_top(b, static_cast<int>(std::lround(strip::buttonCentre - height / 2.0)));
    }
}

void Window::addOverlay(GtkWidget* widget) { gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), widget); }

void Window::toast(AdwToast* toast) { adw_toast_overlay_add_toast(toasts_, toast); }

void Window::present() { gtk_window_present(window_); }

void Window::hide() { gtk_widget_set_visible(GTK_WIDGET(window_), FALSE); }

void Window::minimize() { gtk_window_minimize(window_); }

void Window::close() { gtk_window_close(window_); }

void Window::toggleZoom() {
    if (gtk_window_is_maximized(window_))
        gtk_window_unmaximize(window_);
    else
        gtk_window_maximize(window_);
}

void Window::about() {
    auto version = bundle_.string("CFBundleVersion").value_or("");
    // libadwaita 1.5 shows the about box as a dialog inside the window, not a window of its own.
#if ADW_CHECK_VERSION(1, 5, 0)
    AdwDialog* about = adw_about_dialog_new();
    adw_about_dialog_set_application_name(ADW_ABOUT_DIALOG(about), bundle_.name().c_str());
    adw_about_dialog_set_version(ADW_ABOUT_DIALOG(about), version.c_str());
    adw_about_dialog_set_application_icon(ADW_ABOUT_DIALOG(about), iconName_.c_str());
    adw_dialog_present(about, GTK_WIDGET(window_));
#else
    GtkWidget* about = adw_about_window_new();
    adw_about_window_set_application_name(ADW_ABOUT_WINDOW(about), bundle_.name().c_str());
    adw_about_window_set_version(ADW_ABOUT_WINDOW(about), version.c_str());
    adw_about_window_set_application_icon(ADW_ABOUT_WINDOW(about), iconName_.c_str());
    gtk_window_set_transient_for(GTK_WINDOW(about), window_);
    gtk_window_set_modal(GTK_WINDOW(about), TRUE);
    gtk_window_present(GTK_WINDOW(about));
#endif
}

void Window::keepState() {
    if (kept_) return;
    kept_ = true;
    if (saveTimer_) g_source_remove(std::exchange(saveTimer_, 0));
    saveState();
}

void Window::saveState() {
    WindowState state;
    gtk_window_get_default_size(window_, &state.width, &state.height);
    state.maximized = gtk_window_is_maximized(window_);
    state.save(stateFile(bundle_.name()));
}

}  // namespace mirovan
