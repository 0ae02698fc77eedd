// The user's launcher entry and icon for the bundle, and the entry a package installs: the
// files, where the text comes from core/DesktopEntry.h.
#pragma once

#include <optional>
#include <string>

namespace mirovan {

class Bundle;

// The icon file CFBundleIconFile names in Contents/Resources, when it is a plain SVG or
// PNG file name.
std::optional<std::string> iconFile(const Bundle& bundle);

// Writes or refreshes <dataHome>/applications/<identifier>.desktop and the icon under
// <dataHome>/icons/hicolor, unless the bundle's MirovanDesktopEntry is false, its
// identifier is no application id, or another data folder (a package) has the entry; an
// entry written earlier by the app then goes. `program` is the bundle's program. The entry
// starts it through the link <dataHome>/<identifier>/bundle to the bundle, so that no odd
// byte of the bundle's path (GLib refuses a "%" or non-UTF-8 there) reaches the entry;
// when even the link's path has one, no entry is written and the log says why.
void refreshLauncher(const Bundle& bundle, const std::string& program, const std::string& dataHome);

// Prints the menu entry a package installs for the bundle, its program at `program`
// (`mirovan --desktop-entry PROGRAM`, for tools/package deb); the exit status.
int printPackagedEntry(const Bundle& bundle, const std::string& program);

}  // namespace mirovan
