// The menu bar's menus, items, actions and shortcuts, in bar order.
#pragma once

#include <string>
#include <vector>

namespace mirovan {

struct MenuItem {
    std::string title;   // empty: a separator
    std::string action;  // a GAction name such as "app.reload"
    std::string accel;   // a GTK accelerator, empty for none
    // Shown in the menu only: the web view handles these keys itself, so they must not
    // be taken from it (nor from a dialog's text field) as application shortcuts.
    bool pageKey = false;
};

struct BarMenu {
    std::string title;
    std::vector<MenuItem> items;
};

std::vector<BarMenu> menuTable(const std::string& name);

}  // namespace mirovan
