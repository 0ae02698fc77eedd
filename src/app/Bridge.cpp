#include "app/Bridge.h"

#include <adwaita.h>

#include "web/BridgeRule.h"

namespace mirovan {

namespace {

// The body as text when the page posted a string; anything else is not for us.
std::optional<std::string> stringBody(JSCValue* value) {
    if (!jsc_value_is_string(value)) return std::nullopt;
    g_autofree char* text = jsc_value_to_string(value);
    return std::string(text ? text : "");
}

void onNoDrag(WebKitUserContentManager*, JSCValue* value, gpointer web) {
    auto body = stringBody(value);
    if (!body) return;
    if (auto rects = parseNoDrag(*body)) static_cast<WebView*>(web)->setNoDrag(std::move(*rects));
}

void onAppearance(WebKitUserContentManager*, JSCValue* value, gpointer) {
    auto body = stringBody(value);
    if (!body) return;
    // libadwaita's style manager carries the choice to the window, its dialogs and the
    // page's prefers-color-scheme.
    AdwColorScheme scheme = ADW_COLOR_SCHEME_DEFAULT;
    switch (appearanceFor(*body)) {
    case Appearance::dark: scheme = ADW_COLOR_SCHEME_FORCE_DARK; break;
    case Appearance::light: scheme = ADW_COLOR_SCHEME_FORCE_LIGHT; break;
    case Appearance::system: break;
    }
    adw_style_manager_set_color_scheme(adw_style_manager_get_default(), scheme);
}

}  // namespace

void connectBridge(WebView& web) {
    WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(web.view());
    g_signal_connect(content, "script-message-received::noDrag", G_CALLBACK(onNoDrag), &web);
    g_signal_connect(content, "script-message-received::appearance", G_CALLBACK(onAppearance), nullptr);
}

}  // namespace mirovan
