// Real child processes: end of file on stdin, no inherited pipe ends, process group,
// output after exit, the SIGTERM fallback and launch errors.
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace mirovan;
using namespace std::chrono;

namespace {

std::unique_ptr<ChildProcess> sh(const std::string& script, std::string directory = "/") {
    ServerCommand c{{"/bin/sh", "-c", script}, std::move(directory), {"PATH=/usr/bin:/bin", "MARK=here"}};
    auto r = ChildProcess::spawn(c);
    if (auto* e = std::get_if<int>(&r)) ADD_FAILURE() << "spawn failed: " << *e;
    return std::move(std::get<std::unique_ptr<ChildProcess>>(r));
}

// Everything the child writes until its output ends, waiting at most a few seconds.
std::string drain(ChildProcess& c) {
    std::string out;
    auto deadline = steady_clock::now() + seconds(10);
    while (steady_clock::now() < deadline) {
        auto r = c.read(out, 4096);
        if (r == ChildProcess::Read::end) break;
        if (r == ChildProcess::Read::empty) usleep(2000);
    }
    return out;
}

auto soon() { return steady_clock::now() + seconds(10); }

}  // namespace

TEST(ChildProcess, SeesEndOfFileWhenWeCloseInputEvenWithOtherChildrenAround) {
    auto server = sh("cat >/dev/null; echo saw-eof; echo to-stderr >&2");
    // A second child started afterwards must not hold the first one's stdin open.
    auto other = sh("sleep 30");
    server->closeInput();
    EXPECT_EQ(drain(*server), "saw-eof\nto-stderr\n");
    EXPECT_TRUE(server->waitForExit(soon(), milliseconds(100)));
    server->reap();
    EXPECT_FALSE(server->running());
    other->terminate();
    EXPECT_TRUE(other->waitForExit(soon(), milliseconds(100)));
    other->reap();
}

TEST(ChildProcess, RunsInItsOwnGroupWithDirectoryAndEnvironment) {
    auto dir = std::filesystem::temp_directory_path();
    auto c = sh("echo $$ $(cut -d' ' -f5 /proc/$$/stat) $(pwd) $MARK", dir.string());
    std::string out = drain(*c);
    std::string pid = std::to_string(c->pid());
    EXPECT_EQ(out, pid + " " + pid + " " + dir.string() + " here\n");
    EXPECT_NE(getpgrp(), c->pid());
    c->waitForExit(soon(), milliseconds(100));
    c->reap();
}

TEST(ChildProcess, OutputWrittenRightBeforeExitIsStillReadable) {
    auto c = sh("printf 'last words\\n\\n\\n'; exit 3");
    ASSERT_TRUE(c->waitForExit(soon(), milliseconds(100)));
    std::string out;
    while (c->read(out, 4096) == ChildProcess::Read::data) {}
    EXPECT_EQ(out, "last words\n\n\n");
    c->reap();
}

TEST(ChildProcess, WaitGivesUpAtTheDeadlineThenTerminateEndsIt) {
    auto c = sh("trap '' HUP; exec sleep 30");
    c->closeInput();
    auto start = steady_clock::now();
    EXPECT_FALSE(c->waitForExit(start + milliseconds(300), milliseconds(100)));
    EXPECT_GE(steady_clock::now() - start, milliseconds(300));
    c->terminate();
    EXPECT_TRUE(c->waitForExit(soon(), milliseconds(100)));
    c->reap();
    EXPECT_FALSE(c->running());
}

TEST(ChildProcess, LaunchErrorsAreTheSystemsErrors) {
    auto missing = ChildProcess::spawn({{"/nonexistent/python3"}, "/", {}});
    ASSERT_TRUE(std::holds_alternative<int>(missing));
    EXPECT_EQ(std::get<int>(missing), ENOENT);

    auto garbage = std::filesystem::temp_directory_path() / ("garbage-" + std::to_string(getpid()));
    std::ofstream(garbage) << "\x01\x02 not a program";
    std::filesystem::permissions(garbage, std::filesystem::perms::owner_all);
    auto bad = ChildProcess::spawn({{garbage.string()}, "/", {}});
    ASSERT_TRUE(std::holds_alternative<int>(bad));
    EXPECT_EQ(std::get<int>(bad), ENOEXEC);
    std::filesystem::remove(garbage);

    auto noDir = ChildProcess::spawn({{"/bin/true"}, "/nonexistent-dir", {}});
    ASSERT_TRUE(std::holds_alternative<int>(noDir));
    EXPECT_EQ(std::get<int>(noDir), ENOENT);
}
