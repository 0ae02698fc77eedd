// The page's "noDrag" and "appearance" messages, applied to the web view and the app.
#pragma once

namespace mirovan {

class App;

void connectBridge(App& app);

}  // namespace mirovan
