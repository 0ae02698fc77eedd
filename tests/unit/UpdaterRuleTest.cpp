// The updater's choices that the state machine's tests cannot reach on this machine: a
// bundle folder that other users may change or that cannot be written (the tests run as
// root), and where the scratch folder goes.
#include "update/UpdaterRule.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(UpdaterRule, OnlyAFolderNoOtherUserCanChangeTakesTheUpdate) {
    constexpr unsigned me = 1000, root = 0;
    // As lstat and access() see the bundle's folder; root is told it may write anywhere.
    for (unsigned mode : {040775u, 040757u, 041777u, 040777u})
        for (unsigned self : {me, root}) EXPECT_EQ(bundleFolder(mode, self, self, true), BundleFolder::shared) << mode;
    EXPECT_EQ(bundleFolder(040755, me, me, true), BundleFolder::ours);
    EXPECT_EQ(bundleFolder(040755, root, me, true), BundleFolder::ours);
    EXPECT_EQ(bundleFolder(040755, root, me, false), BundleFolder::unwritable);
    EXPECT_EQ(bundleFolder(040755, me, root, true), BundleFolder::someoneElse);
    // Refused: told on "Restart to Update", only logged at quit.
    EXPECT_EQ(installStep(true, BundleFolder::shared, true), InstallStep::cantUpdateHere);
    EXPECT_EQ(installStep(true, BundleFolder::someoneElse, false), InstallStep::leave);
    EXPECT_EQ(installStep(false, BundleFolder::ours, true), InstallStep::nothing);
}

TEST(UpdaterRule, ScratchFolderIgnoresARelativeCacheHome) {
    EXPECT_EQ(scratchFolder("/c", "/home/a", "o.t.App"), "/c/o.t.App/update");
    for (const char* relative : {"cache", "./c", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(scratchFolder(relative, "/home/a", "o.t.App"), "/home/a/.cache/o.t.App/update");
}
