// Desktop entry text and icon places.
#include "core/DesktopEntry.h"

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

std::string escapeValue(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        switch (char c = text[i]) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case ' ': out += i == 0 ? "\\s" : " "; break;
        default: out += c;
        }
    }
    return out;
}

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
    std::string entry = "[Desktop Entry]\nType=Application\n";
    entry += "Name=" + escapeValue(launcher.name.empty() ? launcher.identifier : launcher.name) + "\n";
    entry += "Exec=" + escapeValue(execArgument(launcher.program)) + "\n";
    // Menus drop the entry once the program is gone, as when the bundle is deleted.
    entry += "TryExec=" + escapeValue(launcher.program) + "\n";
    if (launcher.icon) entry += "Icon=" + escapeValue(launcher.identifier) + "\n";
    entry += "StartupWMClass=" + escapeValue(launcher.identifier) + "\n";
    entry += "Categories=Utility;\nTerminal=false\nStartupNotify=true\n";
    entry += std::string(generatedKey) + "\n";
    return entry;
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
