// Loading the status page and the server's pages into the web view.
#include "app/Page.h"

#include <utility>

#include "core/StatusPage.h"
#include "core/Trace.h"
#include "web/RecoveryRule.h"

namespace mirovan {

void Page::attach(WebView& web) {
    web_ = &web;
    g_signal_connect(web.view(), "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<Page*>(self)->onLoadChanged(event);
                     }),
                     this);
    if (pendingStatus_)
        show(*std::exchange(pendingStatus_, std::nullopt));
    else if (address_)
        load(*address_);
    else
        status("Starting " + bundle_.name() + "\u2026", "");
}

void Page::status(const std::string& title, const std::string& detail) { show(statusDocument(title, detail)); }

void Page::show(std::string document) {
    if (!web_) {
        pendingStatus_ = std::move(document);
        return;
    }
    trace("status-shown");
    showing_ = Showing::status;
    web_->loadDocument(document);
}

void Page::ready(const std::string& address) {
    address_ = address;
    pendingStatus_.reset();  // the page replaces whatever was due before it
    if (web_) load(address);
}

void Page::reload() {
    if (address_) load(*address_);
}

void Page::recovery() {
    if (!address_) return;
    if (auto recovery = recoveryAddress(*address_)) load(*recovery);
}

void Page::retryLater() {
    if (!address_) return;
    struct Retry {
        Page* page;
        std::string url;  // the page as it was when the load failed
    };
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 1000,
        +[](gpointer data) -> gboolean {
            auto* retry = static_cast<Retry*>(data);
            retry->page->load(retry->url);
            return G_SOURCE_REMOVE;
        },
        new Retry{this, *address_}, +[](gpointer data) { delete static_cast<Retry*>(data); });
}

void Page::open(const std::string& url) { load(url); }

void Page::processEnded(ProcessEnd end) {
    trace("page-process-ended");
    double now = static_cast<double>(g_get_monotonic_time()) / G_USEC_PER_SEC;
    bool again = address_ && reloadAfterProcessEnd(lastAutomaticLoad_, now);
    status(processEndedText(end), again ? "" : "Reload loads it again.");
    if (!again) return;
    lastAutomaticLoad_ = now;
    retryLater();
}

void Page::load(const std::string& url) {
    if (!web_) return;
    showing_ = Showing::page;
    web_->loadPage(url);
    trace("page-request");
}

void Page::onLoadChanged(WebKitLoadEvent event) {
    if (event != WEBKIT_LOAD_FINISHED) return;
    if (showing_ == Showing::status) trace("status-loaded");
    if (showing_ == Showing::page) trace("page-loaded");
}

}  // namespace mirovan
