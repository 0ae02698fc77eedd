// Window state in a key file: group [main], keys width, height and maximized.
#include "core/WindowState.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <filesystem>
#include <memory>

namespace mirovan {

namespace {
constexpr const char* group = "main";
}

std::string WindowState::file(const std::string& stateDir, const std::string& name) {
    return (std::filesystem::path(stateDir) / name / "window-state.ini").string();
}

WindowState WindowState::load(const std::string& file) {
    WindowState state;
    g_autoptr(GKeyFile) keys = g_key_file_new();
    if (!g_key_file_load_from_file(keys, file.c_str(), G_KEY_FILE_NONE, nullptr)) return state;
    g_autoptr(GError) error = nullptr;
    int width = g_key_file_get_integer(keys, group, "width", &error);
    if (!error) state.width = std::max(width, minWidth);
    g_clear_error(&error);
    int height = g_key_file_get_integer(keys, group, "height", &error);
    if (!error) state.height = std::max(height, minHeight);
    g_clear_error(&error);
    bool maximized = g_key_file_get_boolean(keys, group, "maximized", &error);
    if (!error) state.maximized = maximized;
    return state;
}

bool WindowState::save(const std::string& file) const {
    g_autoptr(GKeyFile) keys = g_key_file_new();
    g_key_file_set_integer(keys, group, "width", width);
    g_key_file_set_integer(keys, group, "height", height);
    g_key_file_set_boolean(keys, group, "maximized", maximized);
    g_autofree char* folder = g_path_get_dirname(file.c_str());
    if (g_mkdir_with_parents(folder, 0700) != 0) return false;
    return g_key_file_save_to_file(keys, file.c_str(), nullptr);
}

}  // namespace mirovan
