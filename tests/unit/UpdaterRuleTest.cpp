// The updater's choices that the state machine's tests cannot reach on this machine: a
// bundle folder that cannot be written (the tests run as root), and where the scratch
// folder goes.
#include "update/UpdaterRule.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(UpdaterRule, AnUnwritableFolderIsToldOnRestartAndSilentAtQuit) {
    EXPECT_EQ(installStep(true, false, true), InstallStep::cantUpdateHere);
    EXPECT_EQ(installStep(true, false, false), InstallStep::leave);
    EXPECT_EQ(installStep(false, false, true), InstallStep::nothing);
}

TEST(UpdaterRule, ScratchFolderIgnoresARelativeCacheHome) {
    EXPECT_EQ(scratchFolder("/c", "/home/a", "o.t.App"), "/c/o.t.App/update");
    for (const char* relative : {"cache", "./c", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(scratchFolder(relative, "/home/a", "o.t.App"), "/home/a/.cache/o.t.App/update");
}
