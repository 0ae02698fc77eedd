// The page's guard over unsaved work: a command that would leave the page (Quit, Reload,
// the recovery page, the restart to update) runs only once the page agrees to be left,
// which its beforeunload handler may make the window ask the user about.
#pragma once

#include <webkit/webkit.h>

#include <functional>

#include "web/WebView.h"

namespace mirovan {

class Window;

class PageGuard {
public:
    PageGuard(WebView& web, Window& window);
    ~PageGuard();
    PageGuard(const PageGuard&) = delete;
    PageGuard& operator=(const PageGuard&) = delete;

    // Runs `command` once the page agrees to be left: at once when it has no beforeunload
    // handler that asks to stay, after the user chose "Leave" when it has; never when they
    // chose "Stay". A page that does not answer within 3 s (hung, or gone) is left. While a
    // command waits, another is dropped.
    void leavePage(std::function<void()> command);

    // The page's beforeunload question; it is ours to answer. The page's own navigations
    // are never asked about.
    void onBeforeUnload(WebKitScriptDialog* dialog);

    // Whether the page can answer at all: its web process runs and responds. A page that
    // cannot is left at once, without waiting.
    bool canAnswer() const { return running_ && webkit_web_view_get_is_web_process_responsive(web_.view()); }
    // `changed` runs whenever canAnswer() may have changed.
    void watch(std::function<void()> changed) { changed_ = std::move(changed); }

private:
    void setRunning(bool running);
    void onCloseReported();
    void ask(WebKitScriptDialog* dialog);
    void waitForPage();
    void stopWaiting();
    void run();

    WebView& web_;
    Window& window_;
    std::function<void()> command_;  // waits for the page to agree
    guint timeout_ = 0;              // runs it anyway when the page's process does not answer
    unsigned round_ = 0;             // which request: a late answer to an earlier one runs nothing
    bool running_ = true;            // the page's web process has not ended since its last load
    std::function<void()> changed_;
};

}  // namespace mirovan
