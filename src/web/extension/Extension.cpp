// Loaded into every WebKit web process of the app. It sees each request before it leaves
// and keeps a main-frame navigation that the navigation rule sends to the browser from
// ever reaching the other host (detour in web/NavigationRule.h); every other request goes out
// exactly as the page made it.
#include <webkit/webkit-web-process-extension.h>

#include "web/NavigationRule.h"

namespace {

// Never stops a request by returning TRUE: that leaves the main frame blank and tells the
// view nothing. The rewritten request fails visibly and cleanly in the view instead.
gboolean onSendRequest(WebKitWebPage* page, WebKitURIRequest* request, WebKitURIResponse* redirectedResponse,
                       gpointer) {
    const char* pageUri = webkit_web_page_get_uri(page);
    const char* requestUri = webkit_uri_request_get_uri(request);
    const char* from = redirectedResponse ? webkit_uri_response_get_uri(redirectedResponse) : nullptr;
    if (!pageUri || !requestUri) return FALSE;
    if (auto diverted = mirovan::detour::divert(pageUri, requestUri, from ? from : ""))
        webkit_uri_request_set_uri(request, diverted->c_str());
    return FALSE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(WebKitWebProcessExtension* extension) {
    g_signal_connect(extension, "page-created",
                     G_CALLBACK(+[](WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) {
                         g_signal_connect(page, "send-request", G_CALLBACK(onSendRequest), nullptr);
                     }),
                     nullptr);
}
