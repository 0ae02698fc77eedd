// A short message, an optional text under it, buttons in a given order and an optional
// one-line text field, shown as a modal dialog of a window (libadwaita's message dialog).
#pragma once

#include <gtk/gtk.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirovan {

struct Alert {
    std::string message;
    std::vector<std::string> buttons;  // in this order; the first is the default (Return)
    std::optional<std::string> field;  // the starting text of a one-line field; none: no field
    std::string detail;                // a text under the message; empty: none
};

// How an alert closed: the index of the button that closed it, or none when it was
// dismissed (Escape, the window manager's close, the dialog destroyed); and the field's
// text at that moment (empty without a field or when dismissed).
struct AlertAnswer {
    std::optional<std::size_t> button;
    std::string field;
};

// Shows `alert` modal and transient for `window` and returns at once. `done` runs on the
// main thread exactly once, after the alert has closed, however it closed.
void showAlert(GtkWindow* window, const Alert& alert, std::function<void(AlertAnswer)> done);

}  // namespace mirovan
