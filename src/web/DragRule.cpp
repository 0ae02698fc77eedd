// The top strip's hit rule: the page's own areas first, then the strip and its band.
#include "web/DragRule.h"

#include <algorithm>
#include <cmath>

#include "web/Strip.h"

namespace mirovan {

namespace {
constexpr int zoomClicks = 2;
}  // namespace

bool contains(const Rect& r, double x, double y) {
    if (r.width == 0 || r.height == 0) return false;
    double left = std::min(r.x, r.x + r.width), right = std::max(r.x, r.x + r.width);
    double top = std::min(r.y, r.y + r.height), bottom = std::max(r.y, r.y + r.height);
    return x >= left && x < right && y >= top && y < bottom;
}

Press decidePress(const std::vector<Rect>& noDrag, double x, double y, int clickCount) {
    for (const Rect& r : noDrag)
        if (contains(r, x, y)) return Press::page;
    if (y >= strip::height) return Press::page;
    if (x >= strip::bandLeft && x <= strip::bandRight) return Press::page;
    return clickCount == zoomClicks ? Press::zoom : Press::drag;
}

int PressCount::press(std::uint32_t time, double x, double y, std::uint32_t interval, double distance) {
    bool onward =
        count_ > 0 && time - time_ <= interval && std::abs(x - x_) <= distance && std::abs(y - y_) <= distance;
    count_ = onward ? count_ + 1 : 1;
    time_ = time;
    x_ = x;
    y_ = y;
    return count_;
}

}  // namespace mirovan
