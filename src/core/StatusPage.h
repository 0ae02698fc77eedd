// The page shown while the server's own page cannot be: a title and a detail, centred.
#pragma once

#include <string>
#include <string_view>

namespace mirovan {

// "&" becomes "&amp;", "<" becomes "&lt;" and NUL becomes U+FFFD; nothing else changes.
std::string escapeHtml(std::string_view text);

// The whole status document for a title and a detail, byte for byte.
std::string statusDocument(std::string_view title, std::string_view detail);

}  // namespace mirovan
