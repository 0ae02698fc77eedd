// The web view's navigation and new-window decisions: the rules in web/NavigationRule.h, carried
// out with the desktop's browser and file manager.
//
// WebKitGTK 6.0 does not say which frame a navigation targets, so the navigation rule
// cannot be applied where the decision is asked for. It is applied in two places instead:
// - the web process extension (web/extension/) rewrites a main-frame request that the
//   rule sends to the browser into a request for detour::scheme before it leaves, so the
//   other host never hears of it, while inner frames and the page's resources go out
//   untouched;
// - the response decision, which does know the main frame, refuses that rewritten
//   response and hands the original address to the browser, once. Refusing it leaves the
//   page in place with its scripts running; the view reports the load as interrupted by a
//   policy change, which is not retried. A main-frame response from another host that
//   was not rewritten (no extension) is refused the same way, too late to keep the
//   request from the host but never shown.
#include "app/Navigation.h"

#include <string>

#include "app/Page.h"
#include "platform/Compat.h"
#include "platform/Desktop.h"
#include "platform/Session.h"
#include "web/DownloadRule.h"
#include "web/NavigationRule.h"

namespace mirovan {

namespace {

std::string uriOf(WebKitURIRequest* request) {
    const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
    return uri ? uri : "";
}

// Where the extension lies: inside the bundle next to the program, or next to an
// unbundled program.
std::string extensionDirectory(const Bundle& bundle) {
    std::string bundled = bundle.root() + "/Contents/Linux/web-extensions";
    if (g_file_test(bundled.c_str(), G_FILE_TEST_IS_DIR)) return bundled;
    g_autofree char* folder = g_path_get_dirname(programPath(".").c_str());
    return std::string(folder) + "/web-extensions";
}

// True when the response was refused here; other main-frame responses keep WebKit's own
// handling.
bool refuseMainFrameResponse(WebKitResponsePolicyDecision* decision) {
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    const char* uri = response ? webkit_uri_response_get_uri(response) : nullptr;
    std::string url = uri ? uri : uriOf(webkit_response_policy_decision_get_request(decision));
    if (url.compare(0, detour::scheme.size() + 1, std::string(detour::scheme) + ":") == 0) {
        // Our own stand-in for a request that never left; nothing of it is ever shown.
        if (auto original = detour::original(url)) openInBrowser(*original);
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return true;
    }
    if (navigationDecision(url, TargetFrame::main) == Navigation::openInBrowser) {
        openInBrowser(url);
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return true;
    }
    return false;
}

bool isDownload(WebKitResponsePolicyDecision* decision) {
    if (!webkit_response_policy_decision_is_mime_type_supported(decision)) return true;
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    SoupMessageHeaders* headers = response ? webkit_uri_response_get_http_headers(response) : nullptr;
    const char* disposition = headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr;
    return disposition && isAttachment(disposition);
}

gboolean onDecidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type) {
    switch (type) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
        // The target frame is not known here; see above.
        webkit_policy_decision_use(decision);
        return TRUE;
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION: {
        // Allowed, so that the request reaches "create", where the new-window rule
        // decides it exactly once, whether it came from a link or from a script.
        WebKitNavigationAction* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        std::string url = uriOf(webkit_navigation_action_get_request(action));
        if (navigationDecision(url, TargetFrame::none) == Navigation::allow)
            webkit_policy_decision_use(decision);
        else
            webkit_policy_decision_ignore(decision);
        return TRUE;
    }
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE: {
        auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        if (webkit_response_policy_decision_is_main_frame_main_resource(response) && refuseMainFrameResponse(response))
            return TRUE;
        // What the view would not show, or is told to save, goes to the Save dialog, from
        // whichever frame it came.
        if (isDownload(response)) {
            webkit_policy_decision_download(decision);
            return TRUE;
        }
        return FALSE;  // otherwise, WebKit's own handling
    }
    }
    return FALSE;
}

// Where a new window's address goes when it is not kept in the one window.
void elsewhere(const std::string& url) {
    switch (newWindowDecision(url)) {
    case NewWindow::openInBrowser: openInBrowser(url); break;
    case NewWindow::showInFileManager: showInFileManager(url); break;
    case NewWindow::nothing: break;
    }
}

// Lets a stand-in (below) go, once, after the signal that ends it has returned.
void retire(WebKitWebView* view) {
    if (g_object_get_data(G_OBJECT(view), "mirovan-retired")) return;
    g_object_set_data(G_OBJECT(view), "mirovan-retired", view);
    g_idle_add(
        +[](gpointer view) -> gboolean {
            g_object_unref(view);
            return G_SOURCE_REMOVE;
        },
        view);
}

gboolean onStandInPolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                         gpointer navigation) {
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
    auto* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    std::string url = uriOf(webkit_navigation_action_get_request(action));
    if (url.empty() || url == "about:blank") return FALSE;  // its own empty document
    webkit_policy_decision_ignore(decision);
    if (!static_cast<NavigationPolicy*>(navigation)->keptInWindow(url)) elsewhere(url);
    retire(view);
    return TRUE;
}

// What a script's window.open() with no address gets when own pages stay in the window: a
// view that is never shown, whose first navigation goes where a new window's would; then
// it goes. (Given nothing, the script's next line, setting its location, would throw.)
GtkWidget* standIn(NavigationPolicy& navigation, WebKitWebView* related) {
    auto* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", related, nullptr));
    g_object_ref_sink(view);  // ours: it is never put in a window
    g_signal_connect(view, "decide-policy", G_CALLBACK(onStandInPolicy), &navigation);
    // A page may close it without ever navigating.
    g_signal_connect(view, "close", G_CALLBACK(+[](WebKitWebView* view, gpointer) { retire(view); }), nullptr);
    return GTK_WIDGET(view);
}

// Never a second window: the request goes to the browser, the file manager, the one
// window or nowhere.
GtkWidget* onCreate(NavigationPolicy& navigation, WebKitWebView* view, WebKitNavigationAction* action) {
    std::string url = uriOf(webkit_navigation_action_get_request(action));
    if (navigation.ownPagesInWindow() && (url.empty() || url == "about:blank")) return standIn(navigation, view);
    if (!navigation.keptInWindow(url)) elsewhere(url);
    return nullptr;
}

// The detour's requests are answered with an empty page that the response decision
// then refuses.
void onDetourRequest(WebKitURISchemeRequest* request) {
    g_autoptr(GInputStream) empty = g_memory_input_stream_new();
    webkit_uri_scheme_request_finish(request, empty, 0, "text/html");
}

}  // namespace

NavigationPolicy::NavigationPolicy(WebView& web, Page& page, const Bundle& bundle,
                                   std::function<void(std::function<void()>)> leavePage)
    : page_(page),
      ownPagesInWindow_(bundle.boolean("MirovanOpenOwnPagesInWindow").value_or(false)),
      leavePage_(std::move(leavePage)) {
    WebKitWebView* view = web.view();
    WebKitWebContext* context = webkit_web_view_get_context(view);

    compat::useWebProcessExtensions(context, extensionDirectory(bundle));
    webkit_web_context_register_uri_scheme(
        context, std::string(detour::scheme).c_str(),
        +[](WebKitURISchemeRequest* request, gpointer) { onDetourRequest(request); }, nullptr, nullptr);

    g_signal_connect(view, "decide-policy",
                     G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                    gpointer) -> gboolean { return onDecidePolicy(decision, type); }),
                     nullptr);
    g_signal_connect(view, "create",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitNavigationAction* action, gpointer self) -> GtkWidget* {
                         return onCreate(*static_cast<NavigationPolicy*>(self), view, action);
                     }),
                     this);
}

bool NavigationPolicy::keptInWindow(const std::string& url) {
    const auto& page = page_.address();
    if (!ownPagesInWindow_ || !page || !sameServer(url, *page)) return false;
    leavePage_([this, url] { page_.open(url); });
    return true;
}

}  // namespace mirovan
