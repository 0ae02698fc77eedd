// The main window's size and maximised state, kept between runs under the name "main".
#pragma once

#include <optional>
#include <string>

namespace mirovan {

struct WindowState {
    int width = 1240;
    int height = 820;
    bool maximized = false;

    // The file that keeps it: $XDG_STATE_HOME/<name>/window-state.ini.
    static std::string file(const std::string& stateDir, const std::string& name);
    // The saved state; the defaults when there is none or it is damaged. Sizes below the
    // window's minimum are raised to it.
    static WindowState load(const std::string& file);
    // Writes atomically; false when it could not.
    bool save(const std::string& file) const;

    static constexpr int minWidth = 720;
    static constexpr int minHeight = 480;
};

}  // namespace mirovan
