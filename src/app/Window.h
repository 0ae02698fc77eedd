// The one main window: its chrome (the page's strip with three window buttons on it, or a
// native header bar), its size and state between runs, toasts over it and About.
#pragma once

#include <adwaita.h>

#include <array>
#include <string>

#include "core/Bundle.h"

namespace mirovan {

class Window {
public:
    // Builds the window around `content` (the web view) and presents it. `zoom` is the
    // window's zoom, which the green button runs.
    Window(GtkApplication* application, const Bundle& bundle, GtkWidget* content);
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    GtkWindow* gtk() const { return window_; }
    // The header bar's menu button, with the native title bar; null with the page's strip.
    GtkWidget* menuButton() const { return menuButton_; }
    // The name of the icon the window and About show.
    const std::string& iconName() const { return iconName_; }

    // Adds a widget over the page (the menu's anchor, the download bar).
    void addOverlay(GtkWidget* widget);
    // Shows a toast over the window; takes the toast.
    void toast(AdwToast* toast);

    void present();
    void hide();
    void minimize();
    // Closing hides the window; the app and its server keep running.
    void close();
    void toggleZoom();
    void about();
    // Writes the window's size and state now, as the app ends; later changes are not kept.
    void keepState();

private:
    GtkWidget* withHeaderBar(GtkWidget* content);
    void addWindowButtons();
    void restoreState();
    void placeButtons();
    void onSizeChanged();
    void saveState();

    const Bundle& bundle_;
    GtkWindow* window_ = nullptr;
    GtkWidget* overlay_ = nullptr;
    AdwToastOverlay* toasts_ = nullptr;
    GtkWidget* menuButton_ = nullptr;
    std::array<GtkWidget*, 3> buttons_{};
    std::string iconName_ = "application-x-executable";
    guint saveTimer_ = 0;
    bool kept_ = false;
};

}  // namespace mirovan
