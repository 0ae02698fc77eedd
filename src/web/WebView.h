// The web view that fills the main window: WebKitGTK with its own store, the inspector,
// a transparent background and the page request.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "web/Rect.h"

namespace mirovan {

class WebView {
public:
    // The page's stored data (cookies, local storage, databases) goes under `dataFolder`,
    // its caches under `cacheFolder`.
    WebView(const std::string& dataFolder, const std::string& cacheFolder);
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    GtkWidget* widget() const { return GTK_WIDGET(view_); }
    WebKitWebView* view() const { return view_; }

    // Loads `url` with the page request: default cache policy, 60 s to get an answer.
    void loadPage(const std::string& url);
    // Loads an HTML document with no base address.
    void loadDocument(const std::string& html);

    // Areas of the top strip whose presses belong to the page, as the page last posted them.
    const std::vector<Rect>& noDrag() const { return noDrag_; }
    void setNoDrag(std::vector<Rect> rects) { noDrag_ = std::move(rects); }
    // `then` runs when a page request got no answer in time (the load has been stopped).
    void onTimedOut(std::function<void()> then) { timedOut_ = std::move(then); }

private:
    void onLoadChanged(WebKitLoadEvent event);
    void stopTimeout();

    WebKitWebView* view_ = nullptr;
    guint timeout_ = 0;
    std::vector<Rect> noDrag_;
    std::function<void()> timedOut_;
};

}  // namespace mirovan
