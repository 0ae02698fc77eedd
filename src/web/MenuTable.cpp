#include "web/MenuTable.h"

namespace mirovan {

std::vector<BarMenu> menuTable(const std::string& name) {
    return {
        {name,
         {{"About " + name, "app.about", ""},
          {"Check for Updates\u2026", "app.check-for-updates", ""},
          {},
          {"Hide " + name, "app.hide", "<Control>h"},
          {"Quit " + name, "app.quit", "<Control>q"}}},
        {"Edit",
         {{"Undo", "app.undo", "<Control>z", true},
          {"Redo", "app.redo", "<Control><Shift>z", true},
          {},
          {"Cut", "app.cut", "<Control>x", true},
          {"Copy", "app.copy", "<Control>c", true},
          {"Paste", "app.paste", "<Control>v", true},
          {"Select All", "app.select-all", "<Control>a", true}}},
        {"View", {{"Reload", "app.reload", "<Control>r"}, {}, {"Recovery Page", "app.recovery", "<Control><Alt>r"}}},
        {"Window",
         {{"Minimize", "app.minimize", "<Control>m"}, {"Zoom", "app.zoom", ""}, {"Close", "app.close", "<Control>w"}}},
    };
}

}  // namespace mirovan
