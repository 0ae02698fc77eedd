// Where a navigation may go: the main frame shows only the local server's pages, web
// addresses elsewhere go to the default browser, and no request ever gets a new window.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace mirovan {

// The frame a navigation would load into; none when it asks for a new window.
enum class TargetFrame { none, main, inner };

enum class Navigation { allow, openInBrowser };  // openInBrowser: cancel it, hand the URL over

// `url` empty when the request has none. Only the literal host 127.0.0.1 (any port) is
// local; inner frames and new-window requests are never stopped here.
Navigation navigationDecision(const std::string& url, TargetFrame frame);

enum class NewWindow { nothing, openInBrowser, showInFileManager };

// Whether web address `url` is on the same server as `page`: the same scheme, host and
// port (a missing port is the scheme's own). Apps that open their own pages in new
// windows may keep those in the one window.
bool sameServer(const std::string& url, const std::string& page);

// True when `path` exists and is a directory (following symbolic links).
bool isExistingDirectory(const std::string& path);

// Web addresses on any host, the local server's included, go to the browser; a file URL
// of an existing folder goes to the file manager; anything else is dropped.
NewWindow newWindowDecision(const std::string& url,
                            const std::function<bool(const std::string& path)>& isDirectory = isExistingDirectory);

// Workaround for WebKitGTK 6.0 (2.50): its navigation decision does not say which frame
// a navigation targets, so the main frame cannot be told from an inner one there. The web
// process extension sees each request before it leaves and knows the page's address:
// a main-frame navigation that the rule sends to the browser is rewritten there into a
// request for `scheme`, which the view answers itself and then refuses, so nothing
// reaches the other host and the page stays. Can go once WebKitNavigationAction (or the
// policy decision) tells the target frame, as WKNavigationAction.targetFrame does.
namespace detour {

inline constexpr std::string_view scheme = "mirovan-leave";

// The rewritten address for a request seen in the web process, or nothing to leave it
// alone. `pageUri` is the page's address, which during a main-frame navigation is
// already the new one; `redirectedFrom` is the address a redirect came from, if any.
std::optional<std::string> divert(const std::string& pageUri, const std::string& requestUri,
                                  const std::string& redirectedFrom = {});

// The address a diverted request stood for, when it is one the rule sends to the
// browser; nothing for anything else (a page may name the scheme itself).
std::optional<std::string> original(const std::string& uri);

}  // namespace detour

}  // namespace mirovan
