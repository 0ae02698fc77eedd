// The icon the app's windows show; the launcher entry's files are core/LauncherFiles.h.
#pragma once

#include <optional>
#include <string>

namespace mirovan {

class Bundle;

// The name of the bundle's icon (CFBundleIconFile in Contents/Resources, SVG or PNG) in
// the display's icon theme, which is told where to find it; nothing without one.
std::optional<std::string> useBundleIcon(const Bundle& bundle);

}  // namespace mirovan
