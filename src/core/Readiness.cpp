// Line splitting, the announcement match and the readiness file's address.
#include "core/Readiness.h"

#include <glib.h>
#include <utf8proc.h>

#include <algorithm>

namespace mirovan {

namespace {

constexpr std::string_view announcementPrefix = "Mirovan Velto on http://127.0.0.1:";

// The next code point of valid UTF-8 at `at`, or -1 when the bytes are not valid.
utf8proc_int32_t next(std::string_view text, size_t& at) {
    utf8proc_int32_t cp = -1;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                              static_cast<utf8proc_ssize_t>(text.size() - at), &cp);
    if (n <= 0) return -1;
    at += static_cast<size_t>(n);
    return cp;
}

// The regular expression's \d: any Unicode decimal digit, not only ASCII.
bool isDecimalDigit(utf8proc_int32_t cp) { return cp >= 0 && utf8proc_category(cp) == UTF8PROC_CATEGORY_ND; }

// The white space and line breaks that are trimmed from the readiness file.
bool isSpaceOrNewline(utf8proc_int32_t cp) {
    if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
    auto c = utf8proc_category(cp);
    return c == UTF8PROC_CATEGORY_ZS || c == UTF8PROC_CATEGORY_ZL || c == UTF8PROC_CATEGORY_ZP;
}

// Characters a URL may hold as written; anything else (spaces, quotes, angle brackets,
// non-ASCII) makes the text no URL.
bool isUrlCharacter(unsigned char c) {
    if (g_ascii_isalnum(c)) return true;
    return std::string_view("-._~:/?#[]@!$&'()*+,;=%").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

bool isAnnouncement(std::string_view line) {
    if (!line.starts_with(announcementPrefix)) return false;
    size_t at = announcementPrefix.size();
    size_t digits = 0;
    while (at < line.size()) {
        size_t before = at;
        utf8proc_int32_t cp = next(line, at);
        if (isDecimalDigit(cp)) {
            ++digits;
            continue;
        }
        at = before;
        break;
    }
    return digits > 0 && at < line.size() && line[at] == ' ';
}

std::optional<std::string> pageAddress(std::string_view fileText) {
    if (!g_utf8_validate(fileText.data(), static_cast<gssize>(fileText.size()), nullptr)) return std::nullopt;
    // Trim from the front, then from the back, one code point at a time.
    size_t begin = 0;
    while (begin < fileText.size()) {
        size_t at = begin;
        if (!isSpaceOrNewline(next(fileText, at))) break;
        begin = at;
    }
    size_t end = fileText.size();
    while (end > begin) {
        size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(fileText[start]) & 0xC0) == 0x80) --start;
        size_t at = start;
        if (!isSpaceOrNewline(next(fileText, at))) break;
        end = start;
    }
    std::string text(fileText.substr(begin, end - begin));
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text)
        if (!isUrlCharacter(c)) return std::nullopt;
    // Only an absolute URL can be loaded; a relative one would leave the window blank.
    if (!g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr)) return std::nullopt;
    return text;
}

std::optional<std::string> ServerOutput::said(std::string_view text, const ReadFile& readReadiness) {
    log_.append(text);
    if (page_) return std::nullopt;
    // Each byte is looked at once: only the head of the pending line is kept, and only the
    // new text is searched for line ends.
    for (size_t at = 0; at < text.size();) {
        size_t lf = text.find('\n', at);
        std::string_view piece = text.substr(at, lf == std::string_view::npos ? std::string_view::npos : lf - at);
        partial_.append(piece.substr(0, lineHead - std::min(lineHead, partial_.size())));
        if (lf == std::string_view::npos) break;
        at = lf + 1;
        bool announced = isAnnouncement(partial_);
        partial_.clear();
        if (!announced) continue;
        auto fileText = readReadiness();
        if (!fileText) continue;
        auto address = pageAddress(*fileText);
        if (!address) continue;
        page_ = std::move(address);
        return page_;
    }
    return std::nullopt;
}

}  // namespace mirovan
