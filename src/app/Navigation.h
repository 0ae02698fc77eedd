// Which navigations stay in the window, which leave for the browser or the file
// manager, and that no second view or window is ever made.
#pragma once

#include <functional>
#include <string>

#include "core/Bundle.h"
#include "web/WebView.h"

namespace mirovan {

class Page;

// Wires the web view's navigation and new-window decisions. Made right after the web
// view exists and before anything is loaded into it, because it also names the web
// process extension, which every web process, the first one included, must load.
class NavigationPolicy {
public:
    // `leavePage` runs its command once the page agrees to be left.
    NavigationPolicy(WebView& web, Page& page, const Bundle& bundle,
                     std::function<void(std::function<void()>)> leavePage);
    NavigationPolicy(const NavigationPolicy&) = delete;
    NavigationPolicy& operator=(const NavigationPolicy&) = delete;

    // MirovanOpenOwnPagesInWindow: the app's own pages open in the one window.
    bool ownPagesInWindow() const { return ownPagesInWindow_; }
    // Loads `url` in the one window when it is one of the app's own pages and they stay
    // there, once the page on show agrees to be left (it may hold unsaved work); false
    // when it goes elsewhere.
    bool keptInWindow(const std::string& url);

private:
    Page& page_;
    const bool ownPagesInWindow_;
    std::function<void(std::function<void()>)> leavePage_;
};

}  // namespace mirovan
