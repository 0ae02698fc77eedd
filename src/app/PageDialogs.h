// The page's alert, confirm, prompt and file inputs as dialogs of the main window.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <set>

#include "web/WebView.h"

namespace mirovan {

class PageGuard;
class Window;

class PageDialogs {
public:
    // `allowQuit` gives a dialog Quit's shortcut: a modal dialog has the keys, and the
    // application's shortcuts do not reach it.
    PageDialogs(WebView& web, Window& window, PageGuard& guard, std::function<void(GtkWidget*)> allowQuit);
    PageDialogs(const PageDialogs&) = delete;
    PageDialogs& operator=(const PageDialogs&) = delete;

    // Closes the page's dialogs that are up, each answered as refused (Cancel).
    void closeAll();

private:
    gboolean onScriptDialog(WebKitScriptDialog* dialog);
    gboolean onFileChooser(WebKitFileChooserRequest* request);

    Window& window_;
    PageGuard& guard_;
    std::function<void(GtkWidget*)> allowQuit_;
    std::set<GtkWidget*> shown_;  // the page's dialogs that are up
};

}  // namespace mirovan
