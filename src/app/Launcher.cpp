// The bundle's icon in the display's icon theme.
#include "app/Launcher.h"

#include <gtk/gtk.h>

#include "core/Bundle.h"
#include "core/LauncherFiles.h"

namespace mirovan {

std::optional<std::string> useBundleIcon(const Bundle& bundle) {
    auto file = iconFile(bundle);
    if (!file || !g_file_test((bundle.resources() + "/" + *file).c_str(), G_FILE_TEST_IS_REGULAR)) return std::nullopt;
    // An unthemed icon: a file of that name right in a folder on the theme's search path.
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(gdk_display_get_default());
    gtk_icon_theme_add_search_path(theme, bundle.resources().c_str());
    return file->substr(0, file->size() - 4);
}

}  // namespace mirovan
