// Building the WebKitWebView and loading into it.
#include "web/WebView.h"

#include <pango/pango.h>

#include "platform/Compat.h"

namespace mirovan {

namespace {

// The status page names -apple-system; WebKitGTK falls back to its default family, so
// make that the desktop's interface font.
void useDesktopFont(WebKitSettings* settings) {
    g_autofree char* fontName = nullptr;
    g_object_get(gtk_settings_get_default(), "gtk-font-name", &fontName, nullptr);
    if (!fontName) return;
    PangoFontDescription* font = pango_font_description_from_string(fontName);
    if (const char* family = pango_font_description_get_family(font))
        webkit_settings_set_default_font_family(settings, family);
    pango_font_description_free(font);
}

// The page request's time to get an answer.
constexpr guint requestTimeoutSeconds = 60;

}  // namespace

WebView::WebView(const std::string& dataFolder, const std::string& cacheFolder) {
    WebKitNetworkSession* session = webkit_network_session_new(dataFolder.c_str(), cacheFolder.c_str());
    // Without a file, cookies would last only as long as the process: a login would not.
    g_autofree char* cookies = g_build_filename(dataFolder.c_str(), "cookies.sqlite", nullptr);
    webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session), cookies,
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);

    WebKitSettings* settings = webkit_settings_new();
    webkit_settings_set_enable_developer_extras(settings, TRUE);
    useDesktopFont(settings);

    view_ = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, "network-session", session, nullptr));
    g_object_ref_sink(view_);
    g_object_unref(session);
    g_object_unref(settings);

    GdkRGBA clear{0, 0, 0, 0};
    webkit_web_view_set_background_color(view_, &clear);
    gtk_widget_set_hexpand(widget(), TRUE);
    gtk_widget_set_vexpand(widget(), TRUE);

    g_signal_connect(view_, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<WebView*>(self)->onLoadChanged(event);
                     }),
                     this);
}

void WebView::loadPage(const std::string& url) {
    stopTimeout();
    g_autoptr(WebKitURIRequest) request = webkit_uri_request_new(url.c_str());
    webkit_web_view_load_request(view_, request);
    timeout_ = compat::stopLoadAfter(view_, requestTimeoutSeconds, [this] {
        timeout_ = 0;
        if (timedOut_) timedOut_();
    });
}

void WebView::loadDocument(const std::string& html) {
    stopTimeout();
    // By length: the document is never cut at a NUL.
    g_autoptr(GBytes) bytes = g_bytes_new(html.data(), html.size());
    webkit_web_view_load_bytes(view_, bytes, "text/html", "UTF-8", nullptr);
}

void WebView::onLoadChanged(WebKitLoadEvent event) {
    // An answer arrived (or the load ended): the request's time limit no longer applies.
    if (event == WEBKIT_LOAD_COMMITTED || event == WEBKIT_LOAD_FINISHED) stopTimeout();
}

void WebView::stopTimeout() {
    if (timeout_) g_source_remove(timeout_);
    timeout_ = 0;
}

}  // namespace mirovan
