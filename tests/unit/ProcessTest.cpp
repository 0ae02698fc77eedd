// Real processes: the server's child, the detached script, which processes the stop takes for
// the server's, and the swap script and the app's swap mode, run whole, cut off or failing.
#include <sys/ptrace.h>

#include <cstring>
#include <map>
#include <set>

#include "BundleKit.h"
#include "core/Bundle.h"
#include "core/ServerTree.h"
#include "platform/ChildProcess.h"
#include "update/Exchange.h"
#include "update/SwapScript.h"

using namespace mirovan;
using namespace kit;
using namespace std::chrono;

TEST(ChildProcess, SeesEndOfFileWhenWeCloseInputEvenWithOtherChildrenAroundAndEnds) {
    Child server("cat >/dev/null; echo saw-eof; echo to-stderr >&2");
    auto previous = signal(SIGTERM, SIG_IGN);  // an ignored signal must not be inherited
    Child other("exec sleep 30");              // started afterwards, it must not hold the first one's stdin open
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
    while (c->read(out, 4096) == ChildProcess::Read::data) {
    }
    std::string pid = std::to_string(c->pid());
    EXPECT_EQ(out, pid + " " + pid + " " + dir + " x\nlast words\n\n");
    EXPECT_NE(getpgrp(), c->pid());
}

TEST(ChildProcess, LaunchErrorsAreTheSystemsErrors) {
    for (auto [program, directory] : {std::pair{"/nonexistent/python3", "/"}, {"/bin/true", "/nonexistent"}})
        EXPECT_EQ(ChildProcess::spawn({{program}, directory, {}}).cause(), std::strerror(ENOENT)) << program;
}

TEST(ChildProcess, DetachedScriptHasASessionOfItsOwnAndOnlyTheStandardStreams) {
    Scratch dir("detached");
    int inheritable = dup(2);  // no close-on-exec: only the launch itself may keep it from the script
    auto launched = launchDetachedScript(
        "cd '" + dir.dir.string() + "' && echo $$ >pid.tmp && mv pid.tmp pid && while [ -e pid ]; do sleep 0.05; done");
    close(inheritable);
    ASSERT_TRUE(launched) << launched.cause();
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir / "pid"); }));
    pid_t pid = std::stoi(slurp(dir / "pid"));
    std::set<std::string> fds;  // looked at while it waits, holding no redirection of its own
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        fds.insert(fd.path().filename());
    EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2"}));
    EXPECT_EQ(getsid(pid), pid);
    fs::remove(dir / "pid");   // it ends once this is gone, the scratch folder's removal included
    waitpid(pid, nullptr, 0);  // still our child: collected so no zombie stays
}

TEST(ServerTree, TheServerItsGroupAndWhatItLeftToTheAppButNotTheAppsOwn) {
    // The app is 100 in group 100; the server 200 leads group 200; 400 is the swap script.
    std::vector<ProcessEntry> table = {
        {1, 0, 1},       {50, 1, 50},     {100, 50, 100},   // init, the shell, the app
        {200, 100, 200}, {201, 200, 200},                   // the server and its worker
        {202, 201, 202},                                    // below the worker, in a session of its own
        {203, 100, 203}, {204, 203, 203},                   // a double fork into a new session, adopted
        {205, 100, 200},                                    // adopted, still in the server's group
        {300, 100, 100}, {301, 300, 301},                   // WebKit's helper and one in its own session
        {400, 100, 400}, {401, 400, 400},                   // the swap script and its sleep
        {500, 1, 500},   {600, 601, 600}, {601, 600, 601},  // someone else's, and a cycle of reused pids
    };
    EXPECT_EQ(serverProcesses(table, {100, 100, 200, {400}}), (std::vector<pid_t>{200, 201, 202, 203, 204, 205}));
    // Once the server has gone, its orphans, now the app's children, are still found.
    std::erase_if(table, [](const ProcessEntry& p) { return p.pid == 200; });
    for (auto& p : table)
        if (p.parent == 200) p.parent = 100;
    EXPECT_EQ(serverProcesses(table, {100, 100, 200, {400}}), (std::vector<pid_t>{201, 202, 203, 204, 205}));
}

namespace {

// Everything at and under `top`, links not followed: type, mode, and bytes or link target.
std::map<std::string, std::string> listing(const fs::path& top) {
    std::map<std::string, std::string> seen;
    auto note = [&](const fs::path& p) {
        auto s = fs::symlink_status(p);
        seen[p.lexically_relative(top)] = std::to_string(int(s.type())) + " " + std::to_string(int(s.permissions())) +
                                          " " +
                                          (fs::is_symlink(s)        ? fs::read_symlink(p).string()
                                           : fs::is_regular_file(s) ? slurp(p)
                                                                    : "");
    };
    note(top);
    for (const auto& e : fs::recursive_directory_iterator(top)) note(e.path());
    return seen;
}

}  // namespace

TEST(SwapScript, ProgramNamesMustBePlainFileNames) {
    for (std::string name : {"", ".", "..", "a/b", "/x", "x/"}) EXPECT_FALSE(plainFileName(name)) << name;
    EXPECT_FALSE(plainFileName(std::string("a\0b", 3)));
    for (std::string name : {"run me", "...", ".x", "-x"}) EXPECT_TRUE(plainFileName(name)) << name;
}

TEST(SwapScript, WaitsForTheAppThenSwapsWhollyOrNotAtAllAndStartsWhatIsThere) {
    // `cutShort`: a file size limit stops the copy from another filesystem halfway.
    enum Copy { rename, copy, cutShort };
    struct Row {
        const char* what;
        bool dashed;  // paths handed over relative, starting with "-"
        Copy copy;
        bool relaunch;
        const char *oldProgram, *newProgram;
        bool swaps;
        const char* starts;
    };
    // clang-format off
    for (const Row& row : std::vector<Row>{
             {"copied, started by the new program's own name", false, copy, true, "run me", "run new", true, "run new\n"},
             {"paths start with -", true, rename, false, "run me", "run new", true, ""},
             {"copy fails midway", false, cutShort, true, "run me", "run new", false, "run me\n"},
             {"new program is no plain name", true, rename, true, "run me", "../Linux/run new", false, "run me\n"},
             {"new program cannot run", false, rename, true, "run me", "absent", false, "run me\n"},
             {"old program is no plain name", false, cutShort, true, "../Linux/run me", "run new", false, ""}}) {
        SCOPED_TRACE(row.what);
        Scratch root("swap");
        struct Gone {
            fs::path dir;
            ~Gone() { std::error_code ignored; fs::remove_all(dir, ignored); }
        } far{"/dev/shm" / root.dir.filename()};
        fs::path folder = root / "-Don't Touch", here = folder / "My App.app",
                 work = (row.copy == rename ? root.dir : far.dir) / "-cache/update",
                 newApp = work / "0F1E2D3C-aaaa/Archive Name.app";
        // Both programs are the stand-in, which has the app's own swap mode.
        for (const auto& [bundle, which, program] :
             {std::tuple(here, "old", "run me"), std::tuple(newApp, "new", "run new")}) {
            makeBundle(bundle, std::string("org.mirovan.") + which);
            fs::copy_file(SWAP_STAND_IN, bundle / "Contents/Linux" / program);
            fs::permissions(bundle / "Contents/Linux" / program, fs::perms::owner_all);
        }
        if (row.newProgram == std::string("absent")) put(newApp / "Contents/Linux/absent", "\x7f" "ELF garbage");
        put(newApp / "Contents/Resources/large", std::string(256 << 10, 'x'));
        // The user's own things beside the bundle, one a link to a folder elsewhere.
        put(here.string() + ".old", "mine");
        fs::create_directory_symlink(root.dir, here.string() + ".new");
        struct stat near{}, other{};
        ASSERT_TRUE(stat(root.dir.c_str(), &near) == 0 && stat(far.dir.parent_path().c_str(), &other) == 0);
        ASSERT_NE(near.st_dev, other.st_dev) << "/dev/shm must be another filesystem";
        auto beside = [&] {
            auto all = listing(folder);
            std::erase_if(all, [](const auto& e) {
                return e.first == "My App.app" || e.first.starts_with("My App.app/");
            });
            return all;
        };
        const auto oldBundle = listing(here), newBundle = listing(newApp), others = beside();
        auto handed = [&](const fs::path& p) { return (row.dashed ? p.lexically_relative(root.dir) : p).string(); };

        Child app("exec sleep 60");
        std::string script = "XDG_DATA_HOME='" + (root / "data").string() + "'; export XDG_DATA_HOME\n" +
                             swapScript({app->pid(), handed(here), handed(newApp), handed(work), row.relaunch,
                                         row.oldProgram, row.newProgram});
        if (row.copy == cutShort) script = "ulimit -f 64; trap '' XFSZ\n" + script;
        Child swap(script, root.dir.string());
        // It keeps polling, a new "sleep" each round, while the app runs. A zombie would still
        // answer kill -0, so the stand-in is collected too.
        auto sleeping = [&, command = "pgrep -xP " + std::to_string(swap->pid()) + " sleep"] {
            std::string pid(32, '\0');
            FILE* out = popen(command.c_str(), "r");
            pid.resize(fread(pid.data(), 1, pid.size(), out));
            return pclose(out), pid;
        };
        std::string first;
        ASSERT_TRUE(waitFor([&] { return !(first = sleeping()).empty(); }));
        ASSERT_TRUE(waitFor([&] { auto now = sleeping(); return !now.empty() && now != first; }));
        EXPECT_TRUE(swap->running() && listing(here) == oldBundle);
        app->terminate();
        ASSERT_TRUE(app.ended());
        app->reap();
        ASSERT_TRUE(swap.ended());
        EXPECT_TRUE(listing(here) == (row.swaps ? newBundle : oldBundle));
        EXPECT_TRUE(beside() == others);  // nothing staged is left, nothing of the user's is touched
        // A relaunch runs on its own once the swap is done; it ends at once.
        if (*row.starts) waitFor([&] { return slurp(root / "started") == row.starts; });
        EXPECT_EQ(slurp(root / "started"), row.starts);
        EXPECT_FALSE(fs::exists(work));
        // Installed, the launcher entry names the new program, through the link to the bundle.
        EXPECT_EQ(slurp(root / "data/applications/org.mirovan.new.desktop").find("run new") != std::string::npos,
                  row.swaps);
    }
    // clang-format on
}

TEST(Exchange, KilledAtEachSystemCallLeavesAWholeBundleAndTheNextStartClearsTheRest) {
    // Staging as the script does it, then the swap mode's steps, in a process of its own that
    // is killed as it enters its first system call, then its second, and so on until it runs
    // through. Entries and exits of calls alternate: every other stop is an entry.
    for (int stops = 1, finished = false; !finished; stops += 2) {
        ASSERT_LT(stops, 5000);
        SCOPED_TRACE(stops);
        Scratch root("exchange");
        fs::path here = root / "My App.app", work = root / "cache/update", newApp = work / "x/My App.app";
        put(here / "Contents/Info.plist", infoPlist("org.mirovan.old"));  // small, so that it takes few calls
        put(newApp / "Contents/Info.plist", infoPlist("org.mirovan.new"));
        put(here.string() + ".swap.1.x/kept", "");  // pid 1 lives: its swap is still under way
        const auto oldBundle = listing(here), newBundle = listing(newApp);
        auto beside = [&] {
            std::set<std::string> names;
            for (const auto& e : fs::directory_iterator(root.dir)) names.insert(e.path().filename());
            return names;
        };
        pid_t pid = fork();
        if (pid == 0) {
            if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(3);
            raise(SIGSTOP);
            std::string staging = here.string() + ".swap." + std::to_string(getpid()) + ".x";
            if (mkdir(staging.c_str(), 0700) != 0 || ::rename(newApp.c_str(), (staging + "/new").c_str()) != 0)
                _exit(1);
            auto exchange = Exchange::open(staging, here.string());
            if (!exchange || !exchange->swap()) _exit(2);
            exchange->clear(work.string());
            _exit(0);
        }
        int status = 0;
        for (int seen = 0; waitpid(pid, &status, 0) == pid && WIFSTOPPED(status) && seen < stops; ++seen)
            ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
            GTEST_SKIP() << "ptrace is not allowed here";
        }
        finished = WIFEXITED(status);
        if (finished) {
            EXPECT_EQ(WEXITSTATUS(status), 0);
        } else {
            auto during = beside();
            clearSwapLeftovers(here.string());  // a start meanwhile leaves a running swap alone
            EXPECT_EQ(beside(), during);
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        auto now = fs::exists(here) ? listing(here) : decltype(listing(here)){};
        ASSERT_TRUE(now == oldBundle || now == newBundle);
        clearSwapLeftovers(here.string());
        EXPECT_EQ(beside(), (std::set<std::string>{"My App.app", "My App.app.swap.1.x", "cache"}));
        EXPECT_TRUE(!finished || now == newBundle);
    }
}
