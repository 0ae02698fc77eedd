// Choosing files to open or where to save, through the desktop's file chooser (the portal
// when there is one, else GTK's own dialog), modal for a window, which, when hidden,
// comes back first.
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

// Lets the user pick where to save a file, starting in `folder` with `name` proposed. The
// chooser itself asks before an existing file is replaced. `done` runs once, with the
// path, or none when cancelled.
void chooseSaveTarget(GtkWindow* window, const std::string& folder, const std::string& name,
                      std::function<void(std::optional<std::string>)> done);

}  // namespace mirovan
