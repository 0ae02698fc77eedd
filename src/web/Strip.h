// The page's title strip, in the view's pixels: where presses move the window, and where
// the window's own buttons and the menu's anchor sit on it. The page draws to these
// figures; the drag rule, the buttons and the menu all read them from here.
#pragma once

namespace mirovan::strip {

inline constexpr double height = 36;
// A band of the strip that always belongs to the page (its own controls sit there).
inline constexpr double bandLeft = 70;
inline constexpr double bandRight = 130;
// The three window buttons: the first one's left edge, their common centre line and the
// distance from one button's left edge to the next.
inline constexpr double buttonLeft = 18;
inline constexpr double buttonCentre = 21;
inline constexpr double buttonStep = 23;
// Where the in-window menu opens: under the buttons.
inline constexpr double menuLeft = 18;
inline constexpr double menuTop = 30;

}  // namespace mirovan::strip
