// The menu bar: the application's actions and their shortcuts, exported for a global
// menu, and shown in the window as a menu on F10 or Alt.
#pragma once

namespace mirovan {

class App;

void setUpMenu(App& app);

}  // namespace mirovan
