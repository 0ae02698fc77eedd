// Real processes: the server's child (end of file on stdin, no inherited pipe ends, its
// own group, output after exit, the deadline, launch errors), the detached script, and the
// swap script as /bin/sh runs it against folders whose names need quoting.
#include <set>

#include "BundleKit.h"
#include "platform/ChildProcess.h"
#include "update/SwapScript.h"

using namespace mirovan;
using namespace kit;
using namespace std::chrono;

TEST(ChildProcess, SeesEndOfFileWhenWeCloseInputEvenWithOtherChildrenAroundAndEnds) {
    Child server("cat >/dev/null; echo saw-eof; echo to-stderr >&2");
    auto previous = signal(SIGTERM, SIG_IGN);  // an ignored signal must not be inherited
    Child other("exec sleep 30");  // started afterwards, it must not hold the first one's stdin open
    signal(SIGTERM, previous);
    server->closeInput();
    std::string out;
    EXPECT_TRUE(waitFor([&] { return server->read(out, 4096) == ChildProcess::Read::end; }));
    EXPECT_EQ(out, "saw-eof\nto-stderr\n");
    EXPECT_TRUE(server.ended());
    server->reap();
    EXPECT_FALSE(server->running());
    // Waiting gives up at the deadline; terminating ends it.
    auto start = steady_clock::now();
    EXPECT_FALSE(other->waitForExit(start + milliseconds(300), milliseconds(100)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(300));
    other->terminate();
    EXPECT_TRUE(other.ended());
}

TEST(ChildProcess, RunsInItsOwnGroupWithDirectoryAndEnvironmentAndLeavesItsOutput) {
    std::string dir = fs::temp_directory_path(), out;
    Child c("echo $$ $(cut -d' ' -f5 /proc/$$/stat) $(pwd) $MARK; printf 'last words\\n\\n'; exit 3", dir);
    ASSERT_TRUE(c.ended());  // what it wrote right before exiting is still there
    while (c->read(out, 4096) == ChildProcess::Read::data) {}
    std::string pid = std::to_string(c->pid());
    EXPECT_EQ(out, pid + " " + pid + " " + dir + " x\nlast words\n\n");
    EXPECT_NE(getpgrp(), c->pid());
}

TEST(ChildProcess, LaunchErrorsAreTheSystemsErrors) {
    for (const auto& [program, directory] : std::vector<std::pair<std::string, std::string>>{
             {"/nonexistent/python3", "/"}, {"/bin/true", "/nonexistent"}}) {
        auto r = ChildProcess::spawn({{program}, directory, {}});
        EXPECT_EQ(r.index() == 1 ? std::get<1>(r) : 0, ENOENT) << program << " in " << directory;
    }
}

TEST(ChildProcess, DetachedScriptHasASessionOfItsOwnAndOnlyTheStandardStreams) {
    Scratch dir("detached");
    int inheritable = dup(2);  // no close-on-exec: only the launch itself may keep it from the script
    launchDetachedScript("cd '" + dir.dir.string() +
                         "' && echo $$ >pid.tmp && mv pid.tmp pid && while [ -e pid ]; do sleep 0.05; done");
    close(inheritable);
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "pid"); }));
    pid_t pid = std::stoi(slurp(dir / "pid"));
    std::set<std::string> fds;  // looked at while it waits, holding no redirection of its own
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        fds.insert(fd.path().filename());
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
    EXPECT_EQ(getsid(pid), pid);
    fs::remove(dir / "pid");  // it ends once this is gone, the scratch folder's removal included
    waitpid(pid, nullptr, 0);  // still our child: collected so no zombie stays
}

namespace {

// A running bundle, an update in the scratch folder, and programs that say which started.
class SwapRun : public ::testing::Test {
protected:
    Scratch root{"swap"};
    fs::path here = root / "Don't Touch/My App.app", old = here.string() + ".old", work = root / "cache/update",
             newApp = work / "0F1E2D3C-aaaa/Archive Name.app";

    void SetUp() override {
        for (const char* top : {"Don't Touch", "cache", "started"}) fs::remove_all(root / top);
        for (const auto& [bundle, which] : {std::pair(here, "old"), std::pair(newApp, "new")}) {
            put(bundle / "Contents/Info.plist", which);
            put(bundle / "Contents/Linux/run me",
                "#!/bin/sh\necho " + std::string(which) + " >'" + (root / "started").string() + "'\n");
            fs::permissions(bundle / "Contents/Linux/run me", fs::perms::owner_all);
        }
    }
    std::string script(pid_t waitFor, bool relaunch) {
        return swapScript(waitFor, here.string(), newApp.string(), work.string(), relaunch, "run me");
    }
    std::string installed() { return slurp(here / "Contents/Info.plist"); }
};

}  // namespace

TEST_F(SwapRun, WaitsForTheAppThenSwapsOrRollsBackAndCleansUp) {
    // A kept leftover .old would take the running bundle inside it, and the roll-back would
    // put the leftover in its place.
    for (const auto& [what, leftover, newMissing, relaunch, installs, starts] :
         std::vector<std::tuple<const char*, bool, bool, bool, const char*, const char*>>{
             {"swap", false, false, true, "new", "new\n"},
             {"new bundle cannot be moved", false, true, true, "old", "old\n"},
             {"leftover .old", true, true, false, "old", ""}}) {
        SCOPED_TRACE(what);
        SetUp();
        if (leftover) put(old / "Contents/Info.plist", "leftover");
        if (newMissing) fs::remove_all(newApp);
        // It keeps polling, a new "sleep" each round, while the app runs. A zombie would still
        // answer kill -0, so the stand-in is collected too.
        Child app("exec sleep 60"), swap(script(app->pid(), relaunch), root.dir.string());
        auto sleeping = [&, command = "pgrep -xP " + std::to_string(swap->pid()) + " sleep"] {
            std::string pid(32, '\0');
            FILE* out = popen(command.c_str(), "r");
            pid.resize(fread(pid.data(), 1, pid.size(), out));
            return pclose(out), pid;
        };
        std::string first;
        ASSERT_TRUE(waitFor([&] { return !(first = sleeping()).empty(); }));
        ASSERT_TRUE(waitFor([&] { auto now = sleeping(); return !now.empty() && now != first; }));
        EXPECT_TRUE(swap->running() && installed() == "old");
        app->terminate();
        ASSERT_TRUE(app.ended());
        app->reap();
        ASSERT_TRUE(swap.ended());
        EXPECT_EQ(installed(), installs);
        EXPECT_EQ(slurp(root / "started"), starts);
        EXPECT_FALSE(fs::exists(here / "My App.app") || fs::exists(old) || fs::exists(work));
    }
}
