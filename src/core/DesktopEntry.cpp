// Desktop entry text and icon places.
#include "core/DesktopEntry.h"

#include <glib.h>

#include <array>
#include <cstdint>

namespace mirovan {

namespace {

constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr std::array<uint32_t, 10> pngSizes = {16, 22, 24, 32, 48, 64, 96, 128, 256, 512};

uint32_t bigEndian(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

std::string execArgument(std::string_view argument) {
    std::string out;
    bool quote = argument.find_first_of(reserved) != std::string_view::npos;
    if (quote) out += '"';
    for (char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) out += '\\';
        if (c == '%') out += '%';  // a lone % would start a field code
        out += c;
    }
    if (quote) out += '"';
    return out;
}

std::string desktopEntry(const Launcher& launcher) {
    constexpr const char* group = "Desktop Entry";
    g_autoptr(GKeyFile) keys = g_key_file_new();
    auto set = [&](const char* key, const std::string& value) { g_key_file_set_string(keys, group, key, value.c_str()); };
    set("Type", "Application");
    set("Name", launcher.name.empty() ? launcher.identifier : launcher.name);
    if (!launcher.comment.empty()) set("Comment", launcher.comment);
    set("Exec", execArgument(launcher.program));
    // Menus drop the entry once the program is gone, as when the bundle is deleted.
    set("TryExec", launcher.program);
    if (launcher.icon) set("Icon", launcher.identifier);
    set("StartupWMClass", launcher.identifier);
    const char* categories[] = {"Utility"};
    g_key_file_set_string_list(keys, group, "Categories", categories, 1);
    g_key_file_set_boolean(keys, group, "Terminal", false);
    g_key_file_set_boolean(keys, group, "StartupNotify", true);
    if (launcher.generated) g_key_file_set_boolean(keys, group, generatedName, true);
    gsize length = 0;
    g_autofree char* text = g_key_file_to_data(keys, &length, nullptr);
    return std::string(text, length);
}

std::optional<std::string> iconPlace(const std::string& identifier, std::string_view fileName, std::string_view bytes) {
    if (fileName.ends_with(".svg")) return "scalable/apps/" + identifier + ".svg";
    // A PNG's size is in its first chunk, IHDR, right after the signature.
    constexpr std::string_view signature = "\x89PNG\r\n\x1a\n";
    if (!fileName.ends_with(".png") || bytes.size() < 24 || !bytes.starts_with(signature) ||
        bytes.substr(12, 4) != "IHDR")
        return std::nullopt;
    uint32_t width = bigEndian(bytes, 16), height = bigEndian(bytes, 20);
    bool known = false;
    for (uint32_t size : pngSizes) known = known || size == width;
    if (width != height || !known) return std::nullopt;
    std::string size = std::to_string(width);
    return size + "x" + size + "/apps/" + identifier + ".png";
}

}  // namespace mirovan
