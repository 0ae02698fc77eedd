// The page's alert, confirm, prompt and file chooser as dialogs of the main window.
#pragma once

namespace mirovan {

class App;

// Wires the web view's script dialogs and file chooser; called at launch once the
// window exists.
void connectDialogs(App& app);

// Closes the page's dialogs that are up, each answered as refused (Cancel).
void closePageDialogs();

}  // namespace mirovan
