// What an alert says and how it was answered, as plain values: what the updater and the
// page dialogs decide, apart from how a toolkit shows it (AlertDialog.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace mirovan {

struct Alert {
    std::string message;
    std::vector<std::string> buttons;  // in this order
    std::optional<std::string> field;  // the starting text of a one-line field; none: no field
    std::string detail;                // a text under the message; empty: none
    std::size_t defaultButton = 0;     // what Return answers
};

// How an alert closed: the index of the button that closed it, or none when it was
// dismissed (Escape, the window manager's close, the dialog destroyed); and the field's
// text at that moment (empty without a field or when dismissed).
struct AlertAnswer {
    std::optional<std::size_t> button;
    std::string field;
};

}  // namespace mirovan
