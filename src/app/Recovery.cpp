// Reload, the recovery page and the one-second retry of failed loads.
#include "app/Recovery.h"

#include "app/App.h"
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

struct Retry {
    App* app;
    std::string url;  // the page as it was when the load failed
};

void failed(App& app, LoadError error) {
    const auto& page = app.output.page();
    if (!shouldRetry(error, page.has_value())) return;
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, 1000,
        +[](gpointer data) -> gboolean {
            auto* retry = static_cast<Retry*>(data);
            retry->app->web->loadPage(retry->url);
            return G_SOURCE_REMOVE;
        },
        new Retry{&app, *page}, +[](gpointer data) { delete static_cast<Retry*>(data); });
}

gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent event, char*, GError* error, gpointer self) {
    trace("load-failed");
    // Failures after content arrived are not retried: what arrived stays on screen.
    if (event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED)
        failed(*static_cast<App*>(self), kindOf(error));
    // Either way, keep what is on screen (the status page, the last page or the part of the
    // page that arrived) instead of WebKit's error page.
    return TRUE;
}

}  // namespace

void connectLoadRecovery(App& app) {
    g_signal_connect(app.web->view(), "load-failed", G_CALLBACK(onLoadFailed), &app);
    // A page request that got no answer in time fails like any other.
    app.web->timedOut = [&app] { failed(app, LoadError::other); };
}

}  // namespace mirovan
