// The app as the desktop knows it: its launcher entry and icon in the user's data folder,
// and the icon its windows show.
#pragma once

#include <optional>
#include <string>

namespace mirovan {

class Bundle;

// Writes or refreshes $XDG_DATA_HOME/applications/<identifier>.desktop and the icon under
// $XDG_DATA_HOME/icons/hicolor, unless the bundle's MirovanDesktopEntry is false, its
// identifier is no application id, or another data folder (a package) has the entry; an
// entry written earlier by the app then goes. `program` is the bundle's program.
void refreshLauncher(const Bundle& bundle, const std::string& program);

// Prints the menu entry a package installs for the bundle, its program at `program`
// (`mirovan --desktop-entry PROGRAM`, for tools/package deb); the exit status.
int printPackagedEntry(const Bundle& bundle, const std::string& program);

// The name of the bundle's icon (CFBundleIconFile in Contents/Resources, SVG or PNG) in
// the display's icon theme, which is told where to find it; nothing without one.
std::optional<std::string> useBundleIcon(const Bundle& bundle);

}  // namespace mirovan
