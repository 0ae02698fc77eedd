// The page's alert, confirm, prompt and file chooser as dialogs of the main window.
#pragma once

#include <functional>

namespace mirovan {

class App;

// Wires the web view's script dialogs and file chooser; called at launch once the
// window exists.
void connectDialogs(App& app);

// Closes the page's dialogs that are up, each answered as refused (Cancel).
void closePageDialogs();

// Runs `command` once the page agrees to be left: at once when it has no beforeunload
// handler that asks to stay, after the user chose "Leave" in a dialog of the window when
// it has; never when they chose "Stay". For Quit, Reload, the recovery page and the
// restart to update; the page's own navigations are never asked about.
void leavePage(App& app, std::function<void()> command);

}  // namespace mirovan
