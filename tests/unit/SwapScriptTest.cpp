// The swap script: its exact text, and what it does when the shell runs it against real
// folders.
#include "update/SwapScript.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ChildProcess.h"

using namespace mirovan;
using namespace std::chrono;
namespace fs = std::filesystem;

TEST(SwapScript, QuotesEveryPathAsOneWord) {
    EXPECT_EQ(shellQuote("/Applications/My App.app"), "'/Applications/My App.app'");
    EXPECT_EQ(shellQuote("/Users/x/Don't Touch/A.app"), "'/Users/x/Don'\\''t Touch/A.app'");
    EXPECT_EQ(shellQuote("$HOME/`x`\\\"*"), "'$HOME/`x`\\\"*'");
    EXPECT_EQ(shellQuote(""), "''");
}

TEST(SwapScript, TextLineByLine) {
    const std::string expected =
        "while kill -0 4242 2>/dev/null; do sleep 0.2; done\n"
        "rm -rf '/opt/My Apps/M.app.old'\n"
        "if mv '/opt/My Apps/M.app' '/opt/My Apps/M.app.old'; then\n"
        "  if mv '/c/update/u/N.app' '/opt/My Apps/M.app'; then rm -rf '/opt/My Apps/M.app.old'; "
        "else mv '/opt/My Apps/M.app.old' '/opt/My Apps/M.app'; fi\n"
        "fi\n"
        "rm -rf '/c/update'\n";
    EXPECT_EQ(swapScript(4242, "/opt/My Apps/M.app", "/c/update/u/N.app", "/c/update", false, "mirovan"),
              expected);
    EXPECT_EQ(swapScript(4242, "/opt/My Apps/M.app", "/c/update/u/N.app", "/c/update", true, "mirovan"),
              expected + "exec '/opt/My Apps/M.app/Contents/Linux/mirovan'");
    EXPECT_EQ(swapScript(7, "/x/Don't Touch/M.app", "/n", "/w", true, "run me"),
              "while kill -0 7 2>/dev/null; do sleep 0.2; done\n"
              "rm -rf '/x/Don'\\''t Touch/M.app.old'\n"
              "if mv '/x/Don'\\''t Touch/M.app' '/x/Don'\\''t Touch/M.app.old'; then\n"
              "  if mv '/n' '/x/Don'\\''t Touch/M.app'; then rm -rf '/x/Don'\\''t Touch/M.app.old'; "
              "else mv '/x/Don'\\''t Touch/M.app.old' '/x/Don'\\''t Touch/M.app'; fi\n"
              "fi\n"
              "rm -rf '/w'\n"
              "exec '/x/Don'\\''t Touch/M.app/Contents/Linux/run me'");
}

namespace {

auto soon() { return steady_clock::now() + seconds(20); }

template <class Condition>
bool waitFor(Condition condition) {
    for (auto deadline = soon(); steady_clock::now() < deadline; usleep(10000))
        if (condition()) return true;
    return condition();
}

std::string contents(const fs::path& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

pid_t spawnChild(const char* program, const char* argument) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(program, program, argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// A process identifier that no process holds any more.
pid_t endedPid() {
    pid_t pid = spawnChild("/bin/true", nullptr);
    waitpid(pid, nullptr, 0);
    return pid;
}

// Whether `parent` has a child running "sleep": the script is polling.
bool polling(pid_t parent) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = contents(entry.path() / "stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos || stat.find("(sleep)") == std::string::npos) continue;
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
            return true;
    }
    return false;
}

// A folder in which a running bundle, an update in the scratch folder, and programs that
// say which of the two was started.
class SwapRun : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("swap-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        here = root / "Don't Touch" / "My App.app";
        work = root / "cache" / "update";
        newApp = work / "0F1E2D3C-aaaa" / "Archive Name.app";
        makeBundle(here, "old");
        makeBundle(newApp, "new");
    }
    void TearDown() override { fs::remove_all(root); }

    void makeBundle(const fs::path& bundle, const std::string& which) {
        write(bundle / "Contents" / "Info.plist", which);
        fs::path program = bundle / "Contents" / "Linux" / "run me";
        write(program, "#!/bin/sh\necho " + which + " > '" + (root / "started").string() + "'\n");
        fs::permissions(program, fs::perms::owner_all);
    }

    std::unique_ptr<ChildProcess> launch(pid_t waitFor, bool relaunch) {
        ServerCommand command{{"/bin/sh", "-c",
                               swapScript(waitFor, here.string(), newApp.string(), work.string(), relaunch,
                                          "run me")},
                              root.string(),
                              {"PATH=/usr/bin:/bin"}};
        auto launched = ChildProcess::spawn(command);
        if (auto* error = std::get_if<int>(&launched)) ADD_FAILURE() << "spawn failed: " << *error;
        return std::move(std::get<std::unique_ptr<ChildProcess>>(launched));
    }

    void finish(ChildProcess& script) {
        ASSERT_TRUE(script.waitForExit(soon(), milliseconds(20)));
        script.reap();
    }

    std::string started() { return contents(root / "started"); }
    fs::path old() { return fs::path(here.string() + ".old"); }

    fs::path root, here, work, newApp;
};

}  // namespace

TEST_F(SwapRun, PutsTheNewBundleInPlaceAndStartsIt) {
    auto script = launch(endedPid(), true);
    finish(*script);
    EXPECT_EQ(contents(here / "Contents" / "Info.plist"), "new");
    EXPECT_EQ(started(), "new\n");
    EXPECT_FALSE(fs::exists(old()));
    EXPECT_FALSE(fs::exists(work));
}

TEST_F(SwapRun, RestoresTheRunningBundleWhenTheNewOneCannotBeMoved) {
    fs::remove_all(newApp);
    auto script = launch(endedPid(), true);
    finish(*script);
    EXPECT_EQ(contents(here / "Contents" / "Info.plist"), "old");
    EXPECT_EQ(started(), "old\n");
    EXPECT_FALSE(fs::exists(old()));
    EXPECT_FALSE(fs::exists(work));
}

TEST_F(SwapRun, RemovesAnOldBundleLeftByAnEarlierSwapFirst) {
    // Were it kept, the running bundle would move into it, and the roll-back would put
    // the leftover in the running bundle's place.
    write(old() / "Contents" / "Info.plist", "leftover");
    fs::remove_all(newApp);
    auto script = launch(endedPid(), false);
    finish(*script);
    EXPECT_EQ(contents(here / "Contents" / "Info.plist"), "old");
    EXPECT_FALSE(fs::exists(here / "My App.app"));
    EXPECT_FALSE(fs::exists(old()));
    EXPECT_FALSE(fs::exists(root / "started"));  // no relaunch asked for
}

TEST_F(SwapRun, WaitsUntilTheAppHasGone) {
    // A child stands in for the app; it is ended and collected however the test goes,
    // and only then may the script finish (a zombie would still answer kill -0).
    struct StandIn {
        pid_t pid = spawnChild("/bin/sleep", "60");
        void end() {
            if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~StandIn() { end(); }
    } app;
    auto script = launch(app.pid, false);
    bool waited = waitFor([&] { return polling(script->pid()); });
    EXPECT_TRUE(waited);
    EXPECT_TRUE(script->running());
    EXPECT_EQ(contents(here / "Contents" / "Info.plist"), "old");
    EXPECT_TRUE(fs::exists(newApp));

    app.end();
    finish(*script);
    EXPECT_EQ(contents(here / "Contents" / "Info.plist"), "new");
    EXPECT_FALSE(fs::exists(work));
}
