// The one-second retry of failed loads.
#include "app/Recovery.h"

#include "app/Page.h"
#include "core/Trace.h"
#include "web/RecoveryRule.h"

namespace mirovan {

namespace {

LoadError kindOf(const GError* error) {
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) return LoadError::cancelled;
    if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        return LoadError::interruptedByPolicy;
    return LoadError::other;
}

void failed(Page& page, LoadError error) {
    if (shouldRetry(error, page.address().has_value())) page.retryLater();
}

gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, char*, GError* error, gpointer self) {
    trace("load-failed");
    // Failures after content arrived are not retried: what arrived stays on screen.
    if (event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED)
        failed(*static_cast<Page*>(self), kindOf(error));
    // Either way, keep what is on screen (the status page, the last page or the part of the
    // page that arrived) instead of WebKit's error page.
    return TRUE;
}

ProcessEnd endOf(WebKitWebProcessTerminationReason reason) {
    switch (reason) {
    case WEBKIT_WEB_PROCESS_CRASHED: return ProcessEnd::crashed;
    case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT: return ProcessEnd::tooMuchMemory;
    default: return ProcessEnd::ended;
    }
}

}  // namespace

void connectLoadRecovery(WebView& web, Page& page) {
    g_signal_connect(web.view(), "load-failed", G_CALLBACK(onLoadFailed), &page);
    g_signal_connect(web.view(), "web-process-terminated",
                     G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer page) {
                         static_cast<Page*>(page)->processEnded(endOf(reason));
                     }),
                     &page);
    // A page request that got no answer in time fails like any other.
    web.onTimedOut([&page] { failed(page, LoadError::other); });
}

}  // namespace mirovan
