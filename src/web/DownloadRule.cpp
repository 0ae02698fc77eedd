// Download names, where the data waits, and when it takes its name.
#include "web/DownloadRule.h"

#include <glib.h>

namespace mirovan {

namespace {

constexpr size_t nameMax = 255;  // NAME_MAX of the usual file systems

// At most `limit` bytes of `text`, cut at a character boundary.
std::string cut(std::string text, size_t limit) {
    if (text.size() <= limit) return text;
    const char* end = g_utf8_find_prev_char(text.data(), text.data() + limit + 1);
    text.resize(end ? static_cast<size_t>(end - text.data()) : 0);
    return text;
}

}  // namespace

std::string proposedName(std::string_view suggested) {
    std::string_view last = suggested.substr(suggested.find_last_of("/\\") + 1);
    g_autofree char* valid = g_utf8_make_valid(last.data(), static_cast<gssize>(last.size()));
    std::string name;
    for (const char* p = valid; *p; p = g_utf8_next_char(p)) {
        gunichar c = g_utf8_get_char(p);
        if (g_unichar_iscntrl(c)) continue;
        if (name.empty() && (c == '.' || g_unichar_isspace(c))) continue;
        name.append(p, static_cast<size_t>(g_utf8_next_char(p) - p));
    }
    name = cut(std::move(name), nameMax);
    return name.empty() ? "download" : name;
}

std::string partTemplate(const std::string& target) {
    g_autofree char* folder = g_path_get_dirname(target.c_str());
    g_autofree char* base = g_path_get_basename(target.c_str());
    // Room for the dot, ".XXXXXX" and ".part" within one file name.
    std::string name = "." + cut(base, nameMax - 13) + ".XXXXXX.part";
    g_autofree char* path = g_build_filename(folder, name.c_str(), nullptr);
    return path;
}

bool isAttachment(std::string_view contentDisposition) {
    std::string_view type = contentDisposition.substr(0, contentDisposition.find(';'));
    while (!type.empty() && g_ascii_isspace(type.front())) type.remove_prefix(1);
    while (!type.empty() && g_ascii_isspace(type.back())) type.remove_suffix(1);
    return g_ascii_strncasecmp(type.data(), "attachment", type.size()) == 0 && type.size() == 10;
}

std::string savedMessage(const std::string& name) { return "Saved " + name; }

bool mayPlace(bool superseded, std::optional<FileId> leftThere, std::optional<FileId> now) {
    return !superseded && (!now || now == leftThere);
}

std::string failedMessage(const std::string& name, const std::string& reason) {
    constexpr size_t half = 24;
    std::string shown = name;
    if (name.size() > 2 * half + 3) {
        std::string head = cut(name, half);
        // The last `half` bytes, from a character boundary.
        const char* tail = name.c_str() + name.size() - half;
        while ((static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
        shown = head + "\u2026" + tail;
    }
    return "Couldn't save " + shown + ": " + reason;
}

}  // namespace mirovan
