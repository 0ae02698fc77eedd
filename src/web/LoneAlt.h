// When a lone Alt opens the menu: Alt went down and came up with nothing else in between,
// neither another key nor a click (Alt+click belongs to the window manager or the page).
#pragma once

#include <utility>

namespace mirovan {

class LoneAlt {
public:
    void keyPressed(bool alt) { armed_ = alt; }
    void clicked() { armed_ = false; }
    // Whether this release opens the menu.
    bool keyReleased(bool alt) { return std::exchange(armed_, false) && alt; }

private:
    bool armed_ = false;
};

}  // namespace mirovan
