// The page's two messages: its controls' rectangles in the top strip and the
// appearance it wants.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "web/Rect.h"

namespace mirovan {

// The rectangles of a "noDrag" body: JSON text of an array of arrays of numbers; inner
// arrays of exactly four numbers are kept, in order. Nothing for anything malformed, so
// the previous list stays.
std::optional<std::vector<Rect>> parseNoDrag(std::string_view json);

enum class Appearance { dark, light, system };

// "dark" and "light" exactly; any other text follows the desktop.
Appearance appearanceFor(std::string_view body);

}  // namespace mirovan
