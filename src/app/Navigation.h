// Which navigations stay in the window, which leave for the browser or the file
// manager, and that no second view or window is ever made.
#pragma once

namespace mirovan {

class App;

// Wires the web view's navigation and new-window decisions; called at launch right
// after the web view exists and before anything is loaded into it, because it also names
// the web process extension, which every web process, the first one included, must load.
void connectNavigation(App& app);

}  // namespace mirovan
