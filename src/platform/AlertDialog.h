// An alert (Alert.h) shown as a modal dialog of a window: libadwaita's message dialog.
#pragma once

#include <gtk/gtk.h>

#include <functional>

#include "platform/Alert.h"

namespace mirovan {

// Shows `alert` modal and transient for `window` and returns at once. `done` runs on the
// main thread exactly once, after the alert has closed, however it closed.
void showAlert(GtkWindow* window, const Alert& alert, std::function<void(AlertAnswer)> done);

}  // namespace mirovan
