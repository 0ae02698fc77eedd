// The saved window state survives a round trip and damaged files give the defaults.
#include "core/WindowState.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace mirovan;
namespace fs = std::filesystem;

TEST(WindowState, RoundTripAndFallbacks) {
    fs::path dir = fs::temp_directory_path() / ("mirovan-state-" + std::to_string(getpid()));
    std::string file = WindowState::file(dir.string(), "App");
    EXPECT_EQ(file, (dir / "App" / "window-state.ini").string());

    WindowState none = WindowState::load(file);
    EXPECT_EQ(none.width, 1240);
    EXPECT_EQ(none.height, 820);
    EXPECT_FALSE(none.maximized);

    ASSERT_TRUE((WindowState{1000, 700, true}.save(file)));
    WindowState back = WindowState::load(file);
    EXPECT_EQ(back.width, 1000);
    EXPECT_EQ(back.height, 700);
    EXPECT_TRUE(back.maximized);

    std::ofstream(file) << "[main]\nwidth=12\nheight=banana\n";
    WindowState damaged = WindowState::load(file);
    EXPECT_EQ(damaged.width, WindowState::minWidth);
    EXPECT_EQ(damaged.height, 820);
    fs::remove_all(dir);
}
