// Downloads the page starts, from any frame, saved only where the user chooses.
#pragma once

#include <webkit/webkit.h>

#include <vector>

#include "web/WebView.h"

namespace mirovan {

class Window;

class Downloads {
public:
    // Takes the downloads of the web view's network session; shows their progress and
    // outcome over `window`.
    Downloads(WebView& web, Window& window);
    Downloads(const Downloads&) = delete;
    Downloads& operator=(const Downloads&) = delete;

    // Cancels the downloads still running and removes what they left, hidden or not, as
    // the app ends.
    void dropUnfinished();

    // What every download's handlers share; lives as long as the window.
    struct State {
        Window& window;
        GtkWidget* bar;
        std::vector<WebKitDownload*> running;  // each holds a reference until it ends
        bool asking = false;                   // a Save dialog is up
    };

private:
    State state_;
};

}  // namespace mirovan
