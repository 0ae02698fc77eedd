// The page's "noDrag" and "appearance" messages, applied to the web view and the app.
#pragma once

#include "web/WebView.h"

namespace mirovan {

void connectBridge(WebView& web);

}  // namespace mirovan
