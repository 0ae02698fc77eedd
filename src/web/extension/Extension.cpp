// Loaded into every WebKit web process of the app. It sees each request before it leaves
// and keeps a main-frame navigation that the navigation rule sends to the browser from
// ever reaching the other host (detour in web/NavigationRule.h); every other request goes out
// exactly as the page made it. It also carries the page's messages to the app.
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

// The page posts "noDrag" and "appearance" with window.webkit.messageHandlers.NAME
// .postMessage(body). They reach the app as user messages with the body as their
// parameter, and only when the body is a string. They go this way rather than through
// WebKit's script message handlers, which would start a JavaScript engine in the app's own
// process (some 5 MiB) just to read two strings.
constexpr const char* bridgeScript = R"js((post => {
  const webkit = window.webkit || (window.webkit = {});
  const handlers = webkit.messageHandlers || (webkit.messageHandlers = {});
  for (const name of ["noDrag", "appearance"])
    Object.defineProperty(handlers, name, {value: {postMessage: body => post(name, body)}, configurable: true});
}))js";

void onPost(JSCValue* name, JSCValue* body, gpointer page) {
    if (!jsc_value_is_string(name) || !jsc_value_is_string(body)) return;
    g_autofree char* title = jsc_value_to_string(name);
    g_autofree char* text = jsc_value_to_string(body);
    webkit_web_page_send_message_to_view(static_cast<WebKitWebPage*>(page),
                                         webkit_user_message_new(title, g_variant_new_string(text)), nullptr, nullptr,
                                         nullptr);
}

void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
    g_autoptr(JSCContext) context = webkit_frame_get_js_context_for_script_world(frame, world);
    g_autoptr(JSCValue) install = jsc_context_evaluate(context, bridgeScript, -1);
    g_autoptr(JSCValue) post = jsc_value_new_function(context, nullptr, G_CALLBACK(onPost), page, nullptr, G_TYPE_NONE,
                                                      2, JSC_TYPE_VALUE, JSC_TYPE_VALUE);
    if (JSCValue* done = jsc_value_function_call(install, JSC_TYPE_VALUE, post, G_TYPE_NONE)) g_object_unref(done);
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(WebKitWebProcessExtension* extension) {
    g_signal_connect(extension, "page-created",
                     G_CALLBACK(+[](WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) {
                         g_signal_connect(page, "send-request", G_CALLBACK(onSendRequest), nullptr);
                     }),
                     nullptr);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(onWindowObjectCleared),
                     nullptr);
}
