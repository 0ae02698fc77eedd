// The menu bar: the application's actions and their shortcuts, exported for a global
// menu, and shown in the window as a menu on F10 or Alt.
#pragma once

#include <gtk/gtk.h>

namespace mirovan {

class App;

void setUpMenu(App& app);

// Gives `widget` Quit's shortcut, ahead of everything in it, running `action` (taken).
void addQuitShortcut(App& app, GtkWidget* widget, GtkShortcutAction* action);

}  // namespace mirovan
