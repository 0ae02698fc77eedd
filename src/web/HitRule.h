// Whether a primary press on the web view belongs to the page, drags the window or
// zooms it.
#pragma once

#include <vector>

#include "web/Rect.h"

namespace mirovan {

enum class Press { page, drag, zoom };

// Containment in standard form: negative sizes extend left or up; minimum edges are
// in, maximum edges out; an empty rectangle contains nothing.
bool contains(const Rect& r, double x, double y);

// (x, y) in the view's space, y growing downward from its top edge.
Press decidePress(const std::vector<Rect>& noDrag, double x, double y, int clickCount);

}  // namespace mirovan
