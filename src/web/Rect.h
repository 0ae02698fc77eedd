// A rectangle in the web view's top-left-origin space, in CSS pixels.
#pragma once

namespace mirovan {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

}  // namespace mirovan
