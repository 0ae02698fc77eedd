// The menu bar as a user reads it, and every shortcut once.
#include "web/MenuTable.h"

#include <gtest/gtest.h>

#include <set>

using namespace mirovan;

TEST(MenuTable, TitlesOrderAndShortcuts) {
    auto menus = menuTable("Mirovan");
    std::vector<std::string> titles;
    for (const auto& m : menus) {
        std::string line = m.title + ":";
        for (const auto& i : m.items) line += " " + (i.title.empty() ? "|" : i.title);
        titles.push_back(line);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{
                          "Mirovan: About Mirovan Check for Updates\u2026 | Hide Mirovan Quit Mirovan",
                          "Edit: Undo Redo | Cut Copy Paste Select All",
                          "View: Reload | Recovery Page",
                          "Window: Minimize Zoom Close"}));

    std::set<std::string> accels;
    for (const auto& m : menus)
        for (const auto& i : m.items) {
            if (!i.accel.empty()) {
                EXPECT_TRUE(accels.insert(i.accel).second) << i.accel;
            }
        }
    EXPECT_TRUE(accels.count("<Control>q") && accels.count("<Control>r") && accels.count("<Control><Alt>r") &&
                accels.count("<Control>w") && accels.count("<Control>m") && accels.count("<Control>h") &&
                accels.count("<Control><Shift>z"));
    EXPECT_EQ(menuTable("").front().items.front().title, "About ");
}
