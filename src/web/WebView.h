// The web view that fills the main window: WebKitGTK with the page bridge's message
// names, the inspector, a transparent background and the page request.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <string>
#include <vector>

#include "web/HitRule.h"
#include "web/Rect.h"

namespace mirovan {

class WebView {
public:
    WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    GtkWidget* widget() const { return GTK_WIDGET(view_); }
    WebKitWebView* view() const { return view_; }

    // Loads `url` with the page request: default cache policy, 60 s to get an answer.
    void loadPage(const std::string& url);
    // Loads an HTML document with no base address.
    void loadDocument(const std::string& html);

    // Decides every primary press on the view before the page sees it: presses in the
    // top strip move the window, or zoom it on a double press, unless they fall on the
    // page's own controls.
    void followPresses(GtkWindow* window, std::function<void()> zoom);

    // Areas of the top strip whose presses belong to the page; set by the page bridge.
    std::vector<Rect> noDrag;
    // Called when a page request got no answer in time (the load has been stopped).
    std::function<void()> timedOut;

private:
    void onLoadChanged(WebKitLoadEvent event);
    static gboolean onRequestTimeout(gpointer self);
    void onPressed(GtkGestureClick* gesture, int presses, double x, double y);
    void stopTimeout();

    WebKitWebView* view_ = nullptr;
    guint timeout_ = 0;
    GtkWindow* window_ = nullptr;
    PressCount pressCount_;
    std::function<void()> zoom_;
};

}  // namespace mirovan
