// Choosing existing files to open, through the desktop's file chooser (the portal when
// there is one, else GTK's own dialog), modal for a window.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mirovan {

// Local paths in the chooser's order, or none when it was cancelled or closed.
using ChosenFiles = std::optional<std::vector<std::string>>;

// Lets the user pick one file, or several when `multiple`; never a folder. Returns at
// once; `done` runs on the main thread exactly once, when the chooser has closed.
void chooseFiles(GtkWindow* window, bool multiple, std::function<void(ChosenFiles)> done);

}  // namespace mirovan
