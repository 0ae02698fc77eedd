// Whether a primary press on the web view belongs to the page, drags the window or
// zooms it.
#pragma once

#include <cstdint>
#include <vector>

#include "web/Rect.h"

namespace mirovan {

enum class Press { page, drag, zoom };

// Containment in standard form: negative sizes extend left or up; minimum edges are
// in, maximum edges out; an empty rectangle contains nothing.
bool contains(const Rect& r, double x, double y);

// (x, y) in the view's space, y growing downward from its top edge.
Press decidePress(const std::vector<Rect>& noDrag, double x, double y, int clickCount);

// Counts a run of presses (1, 2, 3, ...) from their times and places, as the toolkit
// does: the next press counts on when it comes within `interval` ms and `distance` px of
// the last one.
class PressCount {
public:
    int press(std::uint32_t time, double x, double y, std::uint32_t interval, double distance);

private:
    int count_ = 0;
    std::uint32_t time_ = 0;
    double x_ = 0, y_ = 0;
};

}  // namespace mirovan
