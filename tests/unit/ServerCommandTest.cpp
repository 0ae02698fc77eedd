// Files check, data directory, command line, environment and the stopped report.
#include "core/ServerCommand.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace mirovan;
namespace fs = std::filesystem;

namespace {

struct TempResources {
    fs::path root = fs::temp_directory_path() / ("mirovan-res-" + std::to_string(getpid()));
    TempResources() { fs::create_directories(root / "python" / "bin"); }
    ~TempResources() { fs::remove_all(root); }
    void write(const fs::path& rel, fs::perms perms) {
        fs::create_directories((root / rel).parent_path());
        std::ofstream(root / rel) << "#!/bin/sh\n";
        fs::permissions(root / rel, perms);
    }
};

}  // namespace

TEST(ServerFiles, InterpreterMustBeAnExecutableFileAndScriptMustExist) {
    TempResources res;
    ServerFiles files = serverFiles(res.root.string());
    EXPECT_EQ(files.interpreter, (res.root / "python/bin/python3").string());
    EXPECT_EQ(files.script, (res.root / "app/serve.py").string());

    EXPECT_FALSE(isComplete(files));  // nothing there
    res.write("app/serve.py", fs::perms::owner_read);
    res.write("python/bin/python3", fs::perms::owner_read);
    EXPECT_FALSE(isComplete(files));  // not executable
    fs::permissions(res.root / "python/bin/python3", fs::perms::owner_all);
    EXPECT_TRUE(isComplete(files));
    fs::remove(res.root / "app/serve.py");
    EXPECT_FALSE(isComplete(files));
    fs::create_directory(res.root / "app/serve.py");  // any kind of entry will do
    EXPECT_TRUE(isComplete(files));
    fs::remove(res.root / "python/bin/python3");
    fs::create_directory(res.root / "python/bin/python3");  // a directory is not a program
    EXPECT_FALSE(isComplete(files));
}

TEST(DataDirectory, EnvironmentFirstThenUserDataWithName) {
    EXPECT_EQ(dataDirectory("/srv/data", "/home/u", "/home/u/.local/share", "App"), "/srv/data");
    EXPECT_EQ(dataDirectory("rel/dir", "/home/u", "/x", "App"), "/home/u/rel/dir");
    EXPECT_EQ(dataDirectory("", "/home/u", "/home/u/.local/share", "App"), "/home/u/.local/share/App");
    EXPECT_EQ(dataDirectory(nullptr, "/", "/home/u/.local/share", "Mirovan"), "/home/u/.local/share/Mirovan");
}

TEST(ServerCommand, ArgumentsDirectoryAndEnvironment) {
    ServerFiles files{"/b/R/python/bin/python3", "/b/R/app/serve.py"};
    auto c = serverCommand(files, "/data dir",
                           {"PATH=/bin", "MIROVAN_DATA=/old", "PYTHONDONTWRITEBYTECODE=0", "HOME=/h"});
    EXPECT_EQ(c.argv, (std::vector<std::string>{"/b/R/python/bin/python3", "-B", "/b/R/app/serve.py", "--port",
                                                "0", "--watch-stdin"}));
    EXPECT_EQ(c.directory, "/b/R/app");
    auto sorted = c.environment;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"HOME=/h", "MIROVAN_DATA=/data dir", "PATH=/bin",
                                                "PYTHONDONTWRITEBYTECODE=1"}));
}

TEST(StoppedDetail, LastThreeNonEmptyLines) {
    EXPECT_EQ(stoppedDetail(""), "It stopped unexpectedly.");
    EXPECT_EQ(stoppedDetail("\n\n\n"), "It stopped unexpectedly.");
    EXPECT_EQ(stoppedDetail("only line\n\n\n"), "only line");
    EXPECT_EQ(stoppedDetail("1\n2\n\n3\n4\n5"), "3\n4\n5");
    EXPECT_EQ(stoppedDetail("a\n  \nb\n"), "a\n  \nb");  // spaces are not empty
    EXPECT_EQ(stoppedDetail("x\r\ny\r\n"), "x\r\ny\r");
}
