#include "web/RecoveryRule.h"

#include <glib.h>

namespace mirovan {

bool shouldRetry(LoadError error, bool pageKnown) { return error == LoadError::other && pageKnown; }

std::optional<std::string> recoveryAddress(const std::string& page) {
    g_autoptr(GUri) uri = g_uri_parse(page.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    if (!uri) return std::nullopt;
    g_autoptr(GUri) recovery =
        g_uri_build_with_user(G_URI_FLAGS_ENCODED, g_uri_get_scheme(uri), g_uri_get_user(uri), g_uri_get_password(uri),
                              g_uri_get_auth_params(uri), g_uri_get_host(uri), g_uri_get_port(uri), "/shell",
                              g_uri_get_query(uri), g_uri_get_fragment(uri));
    g_autofree char* text = g_uri_to_string(recovery);
    if (!text) return std::nullopt;
    return std::string(text);
}

std::string processEndedText(ProcessEnd end) {
    return end == ProcessEnd::tooMuchMemory ? "The page used too much memory." : "The page stopped unexpectedly.";
}

bool reloadAfterProcessEnd(std::optional<double> lastAutomaticLoad, double now) {
    return !lastAutomaticLoad || now - *lastAutomaticLoad >= 30;
}

}  // namespace mirovan
