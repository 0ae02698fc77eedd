// The updater's choices that its state machine's tests cannot reach here (they run as root):
// the bundle's folder, the scratch folder, the stuck rule, no room, the refused-archive record.
#include "update/UpdaterRule.h"

#include "update/RefusedArchive.h"
#include "update/Room.h"

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

TEST(UpdaterRule, OnlyTheUsersCheckReplacesAStuckOne) {
    constexpr std::int64_t s = 1'000'000;
    // A feed trickling a byte a second is stuck by its age; a download only by silence.
    EXPECT_TRUE(stuck({false, false, 0, 12 * s}, 12 * s));
    EXPECT_FALSE(stuck({false, false, 5 * s, 5 * s}, 12 * s));
    EXPECT_FALSE(stuck({true, false, 0, 5 * s}, 12 * s));
    EXPECT_TRUE(stuck({true, false, 0, 1 * s}, 12 * s));
    EXPECT_FALSE(stuck({true, true, 0, 0}, 100 * s));  // verifying
    EXPECT_EQ(checkStep(false, true, true, true, false), CheckStep::replace);
    EXPECT_EQ(checkStep(false, true, true, true, true), CheckStep::nothing);
}

TEST(UpdaterRule, RoomIsSaidInMegabytesAndTheNeedAlwaysReadsAsMore) {
    EXPECT_EQ(explained(noRoom(344'800'000, 301'900'000)),
              "There isn't room for the update.\nThe update needs 412 MB and only 301 MB are free.");
    // Need and room a few bytes apart still read apart.
    EXPECT_EQ(noRoom(1, spareBytes).cause, "The update needs 68 MB and only 67 MB are free.");
}

TEST(UpdaterRule, ARefusedArchiveIsRecordedOnlyWhole) {
    // libarchive's words are not ours to bound, or to trust with line breaks.
    RefusedArchive refused{std::string(64, 'a'), 42, {"Couldn't unpack it.", "line\n" + std::string(9000, 'c'), true}};
    std::string text = refusedText(refused);
    EXPECT_EQ(readRefused(text)->refusal.cause.substr(0, 6), "line c");
    for (std::string bad : {text.substr(0, text.size() - 1), "A" + text.substr(1), text + "x\n"})
        EXPECT_FALSE(readRefused(bad));
}
