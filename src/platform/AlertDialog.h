// An alert (Alert.h) shown as a modal dialog of a window: libadwaita's alert dialog (its
// message dialog before libadwaita 1.5).
#pragma once

#include <gtk/gtk.h>

#include <functional>

#include "platform/Alert.h"

namespace mirovan {

// Shows `alert` modal and transient for `window`, bringing a hidden window back first, and
// returns the dialog at once. `done` runs on the main thread exactly once, after the
// alert has closed, however it closed (destroying the dialog answers it as dismissed).
// A long message scrolls inside the dialog, so its buttons stay on screen.
GtkWidget* showAlert(GtkWindow* window, const Alert& alert, std::function<void(AlertAnswer)> done);

// Closes a dialog showAlert returned, which then answers as dismissed.
void closeAlert(GtkWidget* dialog);

}  // namespace mirovan
