// The status document: a fixed template around the escaped title and detail.
#include "core/StatusPage.h"

namespace mirovan {

namespace {

constexpr std::string_view prefix =
    "<html><head><meta name=\"color-scheme\" content=\"light dark\"></head>\n"
    "<body style=\"font:14px -apple-system;margin:0;height:100vh;display:flex;"
    "align-items:center;justify-content:center;color:#888;background:Canvas\">\n"
    "<div style=\"max-width:460px;text-align:center;white-space:pre-wrap\">"
    "<div style=\"font-size:19px;color:CanvasText;margin-bottom:8px\">";
constexpr std::string_view between = "</div>";
constexpr std::string_view suffix = "</div></body></html>";

}  // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '\0')
            out += "\uFFFD";  // a NUL would end the document early or vanish from it
        else
            out += c;
    }
    return out;
}

std::string statusDocument(std::string_view title, std::string_view detail) {
    std::string doc(prefix);
    doc += escapeHtml(title);
    doc += between;
    doc += escapeHtml(detail);
    doc += suffix;
    return doc;
}

}  // namespace mirovan
