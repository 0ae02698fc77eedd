// The updater's choices over every state a check, an answer and a quit can meet, and the
// exact words the user reads.
#include "update/UpdaterRule.h"

#include <gtest/gtest.h>

namespace mirovan {
void PrintTo(const Message& m, std::ostream* out) { *out << '"' << m.text << "\" / \"" << m.informative << '"'; }
}  // namespace mirovan

using namespace mirovan;

TEST(UpdaterRule, CheckStep) {
    using enum CheckStep;
    // A waiting update is offered again without the network, whatever else holds.
    for (int bits = 0; bits < 8; ++bits) EXPECT_EQ(checkStep(true, bits & 1, bits & 2, bits & 4), offerReady) << bits;
    // clang-format off
    for (const auto& [checking, feed, quiet, step] : std::vector<std::tuple<bool, bool, bool, CheckStep>>{
             {false, true, false, askFeed}, {false, true, true, askFeed},
             {true, true, false, nothing}, {true, true, true, nothing},  // one in flight: nothing, even from the menu
             // No feed: only someone who asked hears of it.
             {false, false, false, tellNoFeed}, {true, false, false, tellNoFeed},
             {false, false, true, nothing}, {true, false, true, nothing}})
        // clang-format on
        EXPECT_EQ(checkStep(false, checking, feed, quiet), step) << checking << feed << quiet;
}

TEST(UpdaterRule, FeedOutcomeTellsOnlyWhoAskedAndOnlyWhatStartsNoDownload) {
    const std::optional<std::string> none, error = "Could not resolve host: updates.example.com";
    const FeedDecision newer = NewerBuild{"https://u/x.zip", "ab", 42, "2.0"}, same = UpToDate{}, bad = FeedUnusable{};
    const Message upToDate{"Écrin is up to date.", ""}, later{"Couldn't check for updates.", "Try again later."},
        failed{"Couldn't check for updates.", *error};
    for (const auto& [decision, transport, told] :
         // clang-format off
         std::vector<std::tuple<FeedDecision, std::optional<std::string>, std::optional<Message>>>{
             {newer, none, {}}, {newer, error, {}}, {same, none, upToDate}, {same, error, upToDate},
             {bad, none, later}, {bad, error, failed}}) {
        // clang-format on
        SCOPED_TRACE(testing::Message() << "decision " << decision.index() << ", error " << transport.has_value());
        EXPECT_EQ(feedOutcome(decision, false, "Écrin", transport), told);
        EXPECT_EQ(feedOutcome(decision, true, "Écrin", transport), std::nullopt);  // a background check
    }
}

TEST(UpdaterRule, DownloadOutcomeAndTheFixedWords) {
    const std::string why = "The download was damaged.";
    EXPECT_EQ(downloadOutcome(why, false, "Écrin"), (Message{"Couldn't get the new version of Écrin.", why}));
    EXPECT_EQ(downloadOutcome(why, true, "Écrin"), std::nullopt);
    EXPECT_EQ(noFeed("Écrin"), (Message{"Updates aren't set up for this copy of Écrin.", ""}));
    EXPECT_EQ(readyOffer("Écrin", "2.0 (42)"),
              (Message{"A new version of Écrin is ready",
                       "Version 2.0 (42). Restart now to use it, or it installs the next time you quit."}));
    EXPECT_EQ(cantUpdateHere("Écrin"),
              (Message{"Écrin can't update itself here.", "Download the new version and drag it into Applications."}));
}

TEST(UpdaterRule, InstallStep) {
    for (int bits = 0; bits < 4; ++bits)
        EXPECT_EQ(installStep(false, bits & 1, bits & 2), InstallStep::nothing) << bits;
    EXPECT_EQ(installStep(true, true, false), InstallStep::swap);
    EXPECT_EQ(installStep(true, true, true), InstallStep::swap);
    // Restarting into an update that cannot land must say why; quitting just leaves.
    EXPECT_EQ(installStep(true, false, true), InstallStep::cantUpdateHere);
    EXPECT_EQ(installStep(true, false, false), InstallStep::leave);
}

TEST(UpdaterRule, ScratchFolderIgnoresARelativeCacheHome) {
    EXPECT_EQ(scratchFolder("/c", "/home/a", "o.t.App"), "/c/o.t.App/update");
    for (const char* relative : {"cache", "./c", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(scratchFolder(relative, "/home/a", "o.t.App"), "/home/a/.cache/o.t.App/update");
}
