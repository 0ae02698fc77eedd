// The app's launcher entry (a freedesktop.org desktop entry) and where its icon goes in the
// hicolor icon theme, as text: written at each start so that the entry follows the bundle.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mirovan {

struct Launcher {
    std::string identifier;  // a valid application id: the entry's and the icon's name
    std::string name;        // shown in menus
    std::string program;     // absolute path of the bundle's program
    bool icon = false;       // whether an icon named after the identifier is installed
    std::string comment;     // one line on what the app is; none when empty
    bool generated = true;   // marked as the app's own; a package's entry is not
};

// Marks an entry this app wrote, so that only such an entry is ever replaced or removed.
constexpr const char* generatedName = "X-Mirovan-Generated";
constexpr std::string_view generatedKey = "X-Mirovan-Generated=true";  // as the entry's text has it

// The entry's text; GLib's key file writer does the string escapes.
std::string desktopEntry(const Launcher& launcher);
// One Exec argument: quoted when it holds a reserved character, "%" doubled; not yet escaped.
std::string execArgument(std::string_view argument);

// Where the icon file `fileName` (its bytes `bytes`) goes under an icons/hicolor folder,
// named `identifier`: "scalable/apps/ID.svg" for SVG, "NxN/apps/ID.png" for a square PNG
// of a size the theme has a folder for; nothing otherwise.
std::optional<std::string> iconPlace(const std::string& identifier, std::string_view fileName, std::string_view bytes);

}  // namespace mirovan
