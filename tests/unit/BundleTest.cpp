// Finding the bundle from the program's path and the name rule of its Info.plist.
#include "core/Bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace mirovan;
namespace fs = std::filesystem;

namespace {

struct TempBundle {
    fs::path root = fs::temp_directory_path() / ("mirovan-bundle-" + std::to_string(getpid())) / "Test.app";
    TempBundle() { fs::create_directories(root / "Contents" / "Linux"); }
    ~TempBundle() { fs::remove_all(root.parent_path()); }
    void info(const std::string& entries) {
        std::ofstream(root / "Contents" / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << entries
            << "</dict></plist>\n";
    }
    std::string program() const { return (root / "Contents" / "Linux" / "prog").string(); }
};

}  // namespace

TEST(Bundle, FoundFromTheProgramInContentsLinux) {
    TempBundle b;
    b.info("<key>CFBundleName</key><string>Écrin</string><key>CFBundleIdentifier</key><string>org.x.Y</string>");
    Bundle bundle = Bundle::forExecutable(b.program());
    EXPECT_EQ(bundle.root(), b.root.string());
    EXPECT_EQ(bundle.resources(), (b.root / "Contents" / "Resources").string());
    EXPECT_EQ(bundle.name(), "Écrin");
    EXPECT_EQ(bundle.identifier(), "org.x.Y");
}

TEST(Bundle, UnbundledProgramUsesItsFolderAndTheDefaultName) {
    Bundle loose = Bundle::forExecutable("/opt/tools/bin/prog");
    EXPECT_EQ(loose.root(), "/opt/tools/bin");
    EXPECT_EQ(loose.resources(), "/opt/tools/bin");
    EXPECT_EQ(loose.name(), "Mirovan");
    EXPECT_EQ(loose.identifier(), std::nullopt);
    // "Linux" folder but not inside an .app: still unbundled.
    EXPECT_EQ(Bundle::forExecutable("/x/Contents/Linux/prog").resources(), "/x/Contents/Linux");
}

TEST(Bundle, NameRule) {
    TempBundle b;
    b.info("<key>CFBundleName</key><string></string>");
    EXPECT_EQ(Bundle::at(b.root.string()).name(), "");  // an empty string is still a string
    b.info("<key>CFBundleName</key><integer>7</integer>");
    EXPECT_EQ(Bundle::at(b.root.string()).name(), "Mirovan");
    b.info("");
    EXPECT_EQ(Bundle::at(b.root.string()).name(), "Mirovan");
    std::ofstream(b.root / "Contents" / "Info.plist") << "not a plist";
    EXPECT_EQ(Bundle::at(b.root.string()).name(), "Mirovan");
}
