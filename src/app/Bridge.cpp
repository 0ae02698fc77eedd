// The page's messages, which the web process extension hands on as user messages whose
// parameter is the body the page posted (a string; nothing else is handed on).
#include "app/Bridge.h"

#include <adwaita.h>

#include <string>

#include "web/BridgeRule.h"

namespace mirovan {

namespace {

void onNoDrag(WebView& web, const std::string& body) {
    if (auto rects = parseNoDrag(body)) web.setNoDrag(std::move(*rects));
}

void onAppearance(const std::string& body) {
    // libadwaita's style manager carries the choice to the window, its dialogs and the
    // page's prefers-color-scheme.
    AdwColorScheme scheme = ADW_COLOR_SCHEME_DEFAULT;
    switch (appearanceFor(body)) {
    case Appearance::dark: scheme = ADW_COLOR_SCHEME_FORCE_DARK; break;
    case Appearance::light: scheme = ADW_COLOR_SCHEME_FORCE_LIGHT; break;
    case Appearance::system: break;
    }
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), scheme);
}

gboolean onMessage(WebKitUserMessage* message, WebView& web) {
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING)) return FALSE;
    std::string name = webkit_user_message_get_name(message), body = g_variant_get_string(parameters, nullptr);
    if (name == "noDrag")
        onNoDrag(web, body);
    else if (name == "appearance")
        onAppearance(body);
    else
        return FALSE;
    return TRUE;
}

}  // namespace

void connectBridge(WebView& web) {
    g_signal_connect(web.view(), "user-message-received",
                     G_CALLBACK(+[](WebKitWebView*, WebKitUserMessage* message, gpointer web) -> gboolean {
                         return onMessage(message, *static_cast<WebView*>(web));
                     }),
                     &web);
}

}  // namespace mirovan
