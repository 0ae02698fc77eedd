// The menu bar: the application's actions and their shortcuts, exported for a global
// menu, and shown in the window as a menu on F10 or Alt.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <vector>

#include "web/LoneAlt.h"

namespace mirovan {

class Window;

// An action of the menu table (web/MenuTable.h) by its name, and what it does.
struct MenuCommand {
    const char* name;
    std::function<void()> run;
};

class Menu {
public:
    // Adds `commands` as the application's actions with the table's shortcuts, and the
    // menu to `window`. Lives as long as the window.
    Menu(GtkApplication* application, Window& window, const std::string& name, std::vector<MenuCommand> commands);
    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;

    // Watches for a lone Alt to open the in-window menu from `button`.
    struct AltWatch {
        GtkWidget* button = nullptr;
        LoneAlt alt;
    };

private:
    std::vector<MenuCommand> commands_;
    AltWatch watch_;
};

// Gives `widget` Quit's shortcut, ahead of everything in it, running `action` (taken).
void addQuitShortcut(GtkApplication* application, GtkWidget* widget, GtkShortcutAction* action);

}  // namespace mirovan
