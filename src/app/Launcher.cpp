// Launcher entry and icon files.
#include "app/Launcher.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtk/gtk.h>

#include <cstdio>

#include "core/Bundle.h"
#include "core/DesktopEntry.h"
#include "platform/SmallFile.h"

namespace mirovan {

namespace {

constexpr std::size_t iconLimit = 4 << 20;

// The icon file named by CFBundleIconFile, when it is a plain SVG or PNG file name.
std::optional<std::string> iconFile(const Bundle& bundle) {
    auto name = bundle.string("CFBundleIconFile");
    if (!name || !plainFileName(*name) || name->front() == '.' ||
        !(name->ends_with(".svg") || name->ends_with(".png")))
        return std::nullopt;
    return *name;
}

// Never blocks on a FIFO and never reads more than an icon could need.
std::optional<std::string> contents(const std::string& path) {
    return readSmallFile(AT_FDCWD, path.c_str(), iconLimit).value();
}

// Writes `bytes` to `path` unless it already holds them; the write is atomic.
bool put(const std::string& path, const std::string& bytes) {
    if (contents(path) == bytes) return true;
    g_autofree char* folder = g_path_get_dirname(path.c_str());
    return g_mkdir_with_parents(folder, 0755) == 0 &&
           g_file_set_contents(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
}

bool installedElsewhere(const std::string& entryName) {
    for (const char* const* dir = g_get_system_data_dirs(); *dir; ++dir) {
        g_autofree char* path = g_build_filename(*dir, "applications", entryName.c_str(), nullptr);
        if (g_file_test(path, G_FILE_TEST_EXISTS)) return true;
    }
    return false;
}

// What every entry for the bundle says, wherever it is written.
Launcher describe(const Bundle& bundle, const std::string& identifier, const std::string& program) {
    return {.identifier = identifier,
            .name = bundle.name(),
            .program = program,
            .comment = bundle.string("MirovanSummary").value_or("The " + bundle.name() + " desktop app")};
}

}  // namespace

void refreshLauncher(const Bundle& bundle, const std::string& program) {
    auto id = bundle.identifier();
    if (!id || !g_application_id_is_valid(id->c_str()) || bundle.boolean("MirovanDesktopEntry") == false) return;
    std::string entryName = *id + ".desktop";
    g_autofree char* entryPath = g_build_filename(g_get_user_data_dir(), "applications", entryName.c_str(), nullptr);
    auto existing = contents(entryPath);
    // Never replace an entry the user or another program wrote.
    if (existing && existing->find(generatedKey) == std::string::npos) return;
    if (installedElsewhere(entryName)) {
        if (existing) g_unlink(entryPath);  // ours would hide the package's
        return;
    }
    Launcher launcher = describe(bundle, *id, program);
    if (auto file = iconFile(bundle)) {
        auto bytes = contents(bundle.resources() + "/" + *file);
        auto place = bytes ? iconPlace(*id, *file, *bytes) : std::nullopt;
        if (place) {
            g_autofree char* iconPath =
                g_build_filename(g_get_user_data_dir(), "icons", "hicolor", place->c_str(), nullptr);
            launcher.icon = put(iconPath, *bytes);
        }
    }
    put(entryPath, desktopEntry(launcher));
}

int printPackagedEntry(const Bundle& bundle, const std::string& program) {
    auto id = bundle.identifier();
    if (!id || !g_application_id_is_valid(id->c_str())) {
        std::fprintf(stderr, "%s: CFBundleIdentifier is no application id\n", bundle.root().c_str());
        return 1;
    }
    Launcher launcher = describe(bundle, *id, program);
    launcher.generated = false;  // the package manager's to replace, not the app's
    if (auto file = iconFile(bundle)) {
        auto bytes = contents(bundle.resources() + "/" + *file);
        launcher.icon = bytes && iconPlace(*id, *file, *bytes);
    }
    std::fputs(desktopEntry(launcher).c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

std::optional<std::string> useBundleIcon(const Bundle& bundle) {
    auto file = iconFile(bundle);
    if (!file || !g_file_test((bundle.resources() + "/" + *file).c_str(), G_FILE_TEST_IS_REGULAR)) return std::nullopt;
    // An unthemed icon: a file of that name right in a folder on the theme's search path.
    GtkIconTheme* theme = gtk_icon_theme_get_for_display(gdk_display_get_default());
    gtk_icon_theme_add_search_path(theme, bundle.resources().c_str());
    return file->substr(0, file->size() - 4);
}

}  // namespace mirovan
