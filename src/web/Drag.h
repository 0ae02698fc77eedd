// Decides every primary press on a window before its web view sees it: presses in the
// top strip move the window, or zoom it on a double press, unless they fall on the
// page's own controls (the web view's noDrag list).
#pragma once

#include <functional>

#include "web/DragRule.h"
#include "web/WebView.h"

namespace mirovan {

class Drag {
public:
    // Lives as long as the window; `zoom` toggles the window's maximised state.
    Drag(WebView& web, GtkWindow* window, std::function<void()> zoom);
    Drag(const Drag&) = delete;
    Drag& operator=(const Drag&) = delete;

private:
    void onPressed(GtkGestureClick* gesture, int presses, double x, double y);

    WebView& web_;
    GtkWindow* window_;
    std::function<void()> zoom_;
    PressCount pressCount_;
};

}  // namespace mirovan
