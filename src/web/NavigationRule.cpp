// The navigation and new-window rules, and the main-frame detour's two ends.
#include "web/NavigationRule.h"

#include <gio/gio.h>

namespace mirovan {

namespace {

// Kept percent-encoded: an odd escape in a path must not make a web address "no URL".
GUri* parse(const std::string& url) {
    return url.empty() ? nullptr
                       : g_uri_parse(url.c_str(), GUriFlags(G_URI_FLAGS_ENCODED | G_URI_FLAGS_PARSE_RELAXED), nullptr);
}

bool isWeb(GUri* uri) {
    std::string_view scheme = g_uri_get_scheme(uri);
    return scheme == "http" || scheme == "https";
}

std::string_view withoutFragment(std::string_view url) { return url.substr(0, url.find('#')); }

}  // namespace

Navigation navigationDecision(const std::string& url, TargetFrame frame) {
    g_autoptr(GUri) uri = parse(url);
    if (!uri) return Navigation::allow;
    if (frame != TargetFrame::main) return Navigation::allow;
    const char* host = g_uri_get_host(uri);
    if (!host || !*host) return Navigation::allow;
    if (std::string_view(host) == "127.0.0.1") return Navigation::allow;
    return isWeb(uri) ? Navigation::openInBrowser : Navigation::allow;
}

bool sameServer(const std::string& url, const std::string& page) {
    g_autoptr(GUri) a = parse(url);
    g_autoptr(GUri) b = parse(page);
    if (!a || !b || !isWeb(a) || !isWeb(b)) return false;
    auto port = [](GUri* uri) {
        int port = g_uri_get_port(uri);
        return port > 0 ? port : std::string_view(g_uri_get_scheme(uri)) == "https" ? 443 : 80;
    };
    const char* hostA = g_uri_get_host(a);
    const char* hostB = g_uri_get_host(b);
    return g_ascii_strcasecmp(g_uri_get_scheme(a), g_uri_get_scheme(b)) == 0 && hostA && hostB &&
           g_ascii_strcasecmp(hostA, hostB) == 0 && port(a) == port(b);
}

bool isExistingDirectory(const std::string& path) { return g_file_test(path.c_str(), G_FILE_TEST_IS_DIR); }

NewWindow newWindowDecision(const std::string& url, const std::function<bool(const std::string&)>& isDirectory) {
    g_autoptr(GUri) uri = parse(url);
    if (!uri) return NewWindow::nothing;
    if (isWeb(uri)) return NewWindow::openInBrowser;
    if (std::string_view(g_uri_get_scheme(uri)) != "file") return NewWindow::nothing;
    g_autofree char* host = nullptr;
    g_autofree char* path = g_filename_from_uri(url.c_str(), &host, nullptr);
    // A folder on another machine is not one of ours to show.
    bool local = !host || !*host || std::string_view(host) == "localhost";
    return path && local && isDirectory(path) ? NewWindow::showInFileManager : NewWindow::nothing;
}

namespace detour {

std::optional<std::string> divert(const std::string& pageUri, const std::string& requestUri,
                                  const std::string& redirectedFrom) {
    // The page's other requests (its resources, an inner frame's document) have other
    // addresses; one that has the page's own asks for a page the rule keeps anyway.
    auto page = withoutFragment(pageUri);
    bool mainFrame = !page.empty() && (withoutFragment(requestUri) == page ||
                                       (!redirectedFrom.empty() && withoutFragment(redirectedFrom) == page));
    if (!mainFrame || navigationDecision(requestUri, TargetFrame::main) != Navigation::openInBrowser)
        return std::nullopt;
    g_autofree char* escaped = g_uri_escape_string(requestUri.c_str(), nullptr, FALSE);
    return std::string(scheme) + ":" + escaped;
}

std::optional<std::string> original(const std::string& uri) {
    std::string prefix = std::string(scheme) + ":";
    if (uri.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    g_autofree char* url = g_uri_unescape_string(uri.c_str() + prefix.size(), nullptr);
    if (!url || navigationDecision(url, TargetFrame::main) != Navigation::openInBrowser) return std::nullopt;
    return std::string(url);
}

}  // namespace detour

}  // namespace mirovan
