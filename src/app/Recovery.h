// Failed loads come back to the server's page by themselves, a second later, and so does
// a page whose web process ended (once in 30 s).
#pragma once

#include "web/WebView.h"

namespace mirovan {

class Page;

void connectLoadRecovery(WebView& web, Page& page);

}  // namespace mirovan
