// The swap script: its exact text, and what /bin/sh does with it against real folders.
#include "update/SwapScript.h"

#include <signal.h>
#include <sys/wait.h>

#include "BundleKit.h"
#include "platform/ChildProcess.h"

using namespace mirovan;
using namespace kit;
using namespace std::chrono;

TEST(SwapScript, ExactText) {
    const std::string here = "'/x/Don'\\''t Touch/M.app'", old = "'/x/Don'\\''t Touch/M.app.old'";
    const std::string expected = "while kill -0 4242 2>/dev/null; do sleep 0.2; done\n"
                                 "rm -rf " + old + "\n"
                                 "if mv " + here + " " + old + "; then\n"
                                 "  if mv '/c/update/u/N.app' " + here + "; then rm -rf " + old +
                                 "; else mv " + old + " " + here + "; fi\n"
                                 "fi\n"
                                 "rm -rf '/c/update'\n";
    auto script = [](bool relaunch) {
        return swapScript(4242, "/x/Don't Touch/M.app", "/c/update/u/N.app", "/c/update", relaunch, "run me");
    };
    EXPECT_EQ(script(false), expected);
    EXPECT_EQ(script(true), expected + "exec '/x/Don'\\''t Touch/M.app/Contents/Linux/run me'");
}

namespace {

pid_t spawnChild(const char* program, const char* argument) {
    pid_t pid = fork();
    if (pid == 0) execl(program, program, argument, static_cast<char*>(nullptr)), _exit(127);
    return pid;
}

// A process identifier that no process holds any more.
pid_t endedPid() {
    pid_t pid = spawnChild("/bin/true", nullptr);
    waitpid(pid, nullptr, 0);
    return pid;
}

// A running bundle, an update in the scratch folder, and programs that say which started.
class SwapRun : public ::testing::Test {
protected:
    fs::path root = scratch("swap"), here = root / "Don't Touch/My App.app", old = here.string() + ".old",
             work = root / "cache/update", newApp = work / "0F1E2D3C-aaaa/Archive Name.app";

    void prepare() {
        fs::remove_all(root);
        makeBundle(here, "old");
        makeBundle(newApp, "new");
    }
    void TearDown() override { fs::remove_all(root); }

    void makeBundle(const fs::path& bundle, const std::string& which) {
        put(bundle / "Contents/Info.plist", which);
        put(bundle / "Contents/Linux/run me", "#!/bin/sh\necho " + which + " > '" + (root / "started").string() + "'\n");
        fs::permissions(bundle / "Contents/Linux/run me", fs::perms::owner_all);
    }
    std::unique_ptr<ChildProcess> launch(pid_t waitFor, bool relaunch) {
        ServerCommand command{
            {"/bin/sh", "-c", swapScript(waitFor, here.string(), newApp.string(), work.string(), relaunch, "run me")},
            root.string(),
            {"PATH=/usr/bin:/bin"}};
        auto launched = ChildProcess::spawn(command);
        if (auto* error = std::get_if<int>(&launched)) ADD_FAILURE() << "spawn failed: " << *error;
        return std::move(std::get<std::unique_ptr<ChildProcess>>(launched));
    }
    void runToEnd(pid_t waitFor, bool relaunch) {
        auto script = launch(waitFor, relaunch);
        ASSERT_TRUE(script->waitForExit(steady_clock::now() + seconds(20), milliseconds(20)));
        script->reap();
    }
    std::string installed() { return slurp(here / "Contents/Info.plist"); }
    std::string started() { return slurp(root / "started"); }
};

}  // namespace

TEST_F(SwapRun, SwapsOrRollsBackAndCleansUp) {
    struct Case {
        const char* what;
        bool leftover, newMissing, relaunch;
        const char *installed, *started;
    };
    // A kept leftover .old would take the running bundle inside it, and the roll-back would
    // put the leftover in its place.
    for (const Case& c : {Case{"swap", false, false, true, "new", "new\n"},
                          Case{"new bundle cannot be moved", false, true, true, "old", "old\n"},
                          Case{"leftover .old", true, true, false, "old", ""}}) {
        SCOPED_TRACE(c.what);
        prepare();
        if (c.leftover) put(old / "Contents/Info.plist", "leftover");
        if (c.newMissing) fs::remove_all(newApp);
        runToEnd(endedPid(), c.relaunch);
        EXPECT_EQ(installed(), c.installed);
        EXPECT_EQ(started(), c.started);
        EXPECT_FALSE(fs::exists(here / "My App.app"));
        EXPECT_FALSE(fs::exists(old));
        EXPECT_FALSE(fs::exists(work));
    }
}

TEST_F(SwapRun, WaitsUntilTheAppHasGone) {
    // The stand-in is ended and collected however the test goes; a zombie would still
    // answer kill -0.
    struct StandIn {
        pid_t pid = spawnChild("/bin/sleep", "60");
        void end() {
            if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~StandIn() { end(); }
    } app;
    prepare();
    auto script = launch(app.pid, false);
    // The script is polling once it has a "sleep" child.
    std::string polling = "pgrep -xP " + std::to_string(script->pid()) + " sleep >/dev/null";
    auto deadline = steady_clock::now() + seconds(20);
    while (std::system(polling.c_str()) != 0 && steady_clock::now() < deadline) usleep(10000);
    EXPECT_LT(steady_clock::now(), deadline);
    EXPECT_TRUE(script->running());
    EXPECT_EQ(installed(), "old");
    EXPECT_TRUE(fs::exists(newApp));

    app.end();
    ASSERT_TRUE(script->waitForExit(steady_clock::now() + seconds(20), milliseconds(20)));
    script->reap();
    EXPECT_EQ(installed(), "new");
    EXPECT_FALSE(fs::exists(work));
}
