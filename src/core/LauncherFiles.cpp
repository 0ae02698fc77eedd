// Launcher entry, its link to the bundle, and icon files.
#include "core/LauncherFiles.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <cstdio>

#include "core/Bundle.h"
#include "core/DesktopEntry.h"
#include "platform/SmallFile.h"

namespace mirovan {

namespace {

constexpr std::size_t iconLimit = 4 << 20;

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

// Points the link at `path` to `target` unless it already does; the replacement is atomic.
bool pointLink(const std::string& path, const std::string& target) {
    g_autofree char* now = g_file_read_link(path.c_str(), nullptr);
    if (now && target == now) return true;
    g_autofree char* folder = g_path_get_dirname(path.c_str());
    std::string fresh = path + ".new";
    g_unlink(fresh.c_str());
    return g_mkdir_with_parents(folder, 0700) == 0 && symlink(target.c_str(), fresh.c_str()) == 0 &&
           g_rename(fresh.c_str(), path.c_str()) == 0;
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

std::optional<std::string> iconFile(const Bundle& bundle) {
    auto name = bundle.string("CFBundleIconFile");
    if (!name || !plainFileName(*name) || name->front() == '.' ||
        !(name->ends_with(".svg") || name->ends_with(".png")))
        return std::nullopt;
    return *name;
}

void refreshLauncher(const Bundle& bundle, const std::string& program, const std::string& dataHome) {
    auto id = bundle.identifier();
    if (!id || !g_application_id_is_valid(id->c_str()) || bundle.boolean("MirovanDesktopEntry") == false) return;
    std::string entryName = *id + ".desktop";
    std::string entryPath = dataHome + "/applications/" + entryName;
    auto existing = contents(entryPath);
    // Never replace an entry the user or another program wrote.
    if (existing && existing->find(generatedKey) == std::string::npos) return;
    if (installedElsewhere(entryName)) {
        if (existing) g_unlink(entryPath.c_str());  // ours would hide the package's
        return;
    }
    std::string linkPath = dataHome + "/" + *id + "/bundle", root = bundle.root() + "/";
    // A "%" would reach GLib doubled, and GLib looks for that name; other bytes must be UTF-8.
    if (linkPath.find('%') != std::string::npos || !g_utf8_validate(linkPath.data(), -1, nullptr)) {
        g_warning("No launcher entry: the data folder's path %s holds a '%%' or is not UTF-8", linkPath.c_str());
        return;
    }
    if (!program.starts_with(root) || !pointLink(linkPath, bundle.root())) return;
    Launcher launcher = describe(bundle, *id, linkPath + "/" + program.substr(root.size()));
    if (auto file = iconFile(bundle)) {
        auto bytes = contents(bundle.resources() + "/" + *file);
        auto place = bytes ? iconPlace(*id, *file, *bytes) : std::nullopt;
        if (place) launcher.icon = put(dataHome + "/icons/hicolor/" + *place, *bytes);
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

}  // namespace mirovan
