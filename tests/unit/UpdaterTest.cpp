// The updater's state machine from check to install, through a fake window and a fake network
// that holds every answer until let go; archives and bundles are real, and verified for real.
#include <glib.h>
#include <stdlib.h>

#include <algorithm>

#include "BundleKit.h"
#include "update/Digest.h"
#include "update/Updater.h"

using namespace mirovan;
using namespace kit;

namespace {

constexpr const char* feedUrl = "https://updates.example/feed.json";

// The window: records what the user would see and do, in order. Quitting runs the
// install at quit, as the app's termination does.
struct FakeDriver final : UpdaterDriver {
    explicit FakeDriver(const fs::path& app) : running(Bundle::at(app.string())) {}
    Bundle running;
    Updater* updater = nullptr;
    std::vector<std::string> events;
    std::vector<Message> told;
    std::function<void(OfferAnswer)> offered;  // the offer on screen, unanswered
    std::optional<OfferAnswer> answerAtOnce;   // answered as it appears
    bool pageLets = true;
    bool waitingAtOffer = false;

    const Bundle& bundle() const override { return running; }
    std::string name() const override { return "Écrin"; }
    void offer(const std::string& label, std::function<void(OfferAnswer)> reply) override {
        events.push_back("offer " + label);
        waitingAtOffer = updater->waiting() != nullptr;
        if (answerAtOnce) return reply(*answerAtOnce);
        offered = std::move(reply);
    }
    void tell(const Message& message, std::function<void()> done) override {
        events.push_back("tell");
        told.push_back(message);
        done();
    }
    void leavePage(std::function<void()> proceed) override {
        events.push_back(pageLets ? "leave" : "stay");
        if (pageLets) proceed();
    }
    void quit() override {
        events.push_back("quit");
        updater->install(false);
    }
    void answer(OfferAnswer choice) { std::exchange(offered, {})(choice); }
};

// The network: every request is recorded and its answer held until release().
struct FakeTransport final : UpdateTransport {
    std::vector<std::string> asked;
    std::vector<TransferBounds> bounds;  // each request's
    Checked<std::string> feed = Refusal{"Could not resolve host: updates.example"};
    fs::path archive;  // what every download yields; empty: the transfer fails
    std::vector<std::function<void()>> held;

    void fetchFeed(const std::string& url, const TransferBounds& limits,
                   std::function<void(Checked<std::string>)> done) override {
        asked.push_back(url);
        bounds.push_back(limits);
        held.push_back([this, done] { done(feed); });
    }
    void downloadArchive(const std::string& url, const std::string& folder, const TransferBounds& limits,
                         std::function<Checked<std::string>(const std::string&)> verify,
                         std::function<void(Checked<std::string>)> done) override {
        asked.push_back(url);
        bounds.push_back(limits);
        held.push_back([=, this] {
            if (archive.empty()) return done(Refusal{"Connection reset by peer"});
            fs::path file = fs::path(folder) / "download-1";
            fs::copy_file(archive, file);
            auto result = verify(file.string());
            fs::remove(file);
            done(result);
        });
    }
    // Lets every answer through, and those the answers started.
    void release() {
        while (!held.empty()) std::exchange(held, {}).front()();
    }
};

class UpdaterTest : public ::testing::Test {
protected:
    Scratch base{"updater"};
    fs::path here = base / "apps/Test.app";
    FakeDriver driver{(makeBundles(), here)};  // the running bundle exists before the driver reads it
    FakeTransport transport;
    int spawnFailures = 0;  // how many script starts fail from now on
    std::vector<std::string> scripts;
    Updater updater{
        driver, transport, [this](const std::string& script) -> Checked<> {
            driver.events.push_back(script.find("exec ") != std::string::npos ? "start, relaunch" : "start");
            if (spawnFailures > 0 && spawnFailures--)
                return Refusal{"The installer couldn't be started.", "/bin/sh: Resource unavailable"};
            scripts.push_back(script);
            return accepted();
        }};

    // Build 41 running, with the feed's address; the update's scratch folder under `base`.
    void makeBundles() {
        setenv("XDG_CACHE_HOME", (base / "cache").c_str(), 1);
        newKey(base / "key.pem");
        makeBundle(here, "org.mirovan.Test",
                   "<string>41</string><key>MirovanUpdateURL</key><string>" + std::string(feedUrl) + "</string>");
        sign(here, base / "key.pem");
        // Build 42, signed by the same key, released as the release tool does.
        makeBundle(base / "release/Test.app", "org.mirovan.Test",
                   "<string>42</string><key>CFBundleShortVersionString</key><string>2.0</string>");
        sign(base / "release/Test.app", base / "key.pem");
        zipFolder(base / "release", base / "Test-42.zip");
    }
    std::vector<std::string> logged;  // the warnings the updater wrote
    guint logHandler = 0;

    void SetUp() override {
        logHandler = g_log_set_handler(
            nullptr, G_LOG_LEVEL_WARNING,
            [](const char*, GLogLevelFlags, const char* text, gpointer self) {
                static_cast<UpdaterTest*>(self)->logged.push_back(text);
            },
            this);
        driver.updater = &updater;
        transport.archive = base / "Test-42.zip";
        transport.feed = feedFor(42, *sha256OfFile((base / "Test-42.zip").string()));
    }
    void TearDown() override {
        g_log_remove_handler(nullptr, logHandler);
        unsetenv("XDG_CACHE_HOME");
    }
    bool loggedThat(const std::string& part) const {
        return std::any_of(logged.begin(), logged.end(),
                           [&](const auto& line) { return line.find(part) != line.npos; });
    }

    static std::string feedFor(int version, const std::string& sha256, const std::string& more = "") {
        return "{\"version\": " + std::to_string(version) + ", \"url\": \"Test-42.zip\", \"sha256\": \"" + sha256 +
               "\", \"name\": \"Call 555-0100 to activate\"" + more + "}";
    }
    size_t downloads() const { return std::count(transport.asked.begin(), transport.asked.end(), archiveUrl); }
    static constexpr const char* archiveUrl = "https://updates.example/Test-42.zip";
    // Checks and lets every answer through; what the user was told last, if anything.
    Message checkNow(bool quiet) {
        updater.check(quiet);
        transport.release();
        return driver.told.empty() ? Message{} : driver.told.back();
    }
    // Check, download and verify, up to the offer on screen.
    void offered() {
        checkNow(true);
        ASSERT_FALSE(driver.events.empty());
        ASSERT_EQ(driver.events[0], "offer 2.0") << ::testing::PrintToString(driver.told.size());
    }
    bool stillWaiting() const {
        return updater.waiting() && fs::exists(updater.waiting()->app + "/Contents/Linux/prog");
    }
};

}  // namespace

TEST_F(UpdaterTest, ChecksOneAtATimeAndSaysWhyOnlyToWhoAsked) {
    updater.check(true);
    updater.check(false);  // the menu while the quiet check runs: no second request, and silence
    EXPECT_EQ(transport.asked, std::vector<std::string>{feedUrl});
    EXPECT_TRUE(updater.checking());

    transport.feed = Refusal{"Could not resolve host: updates.example"};
    transport.release();
    EXPECT_FALSE(updater.checking());
    EXPECT_TRUE(driver.told.empty());  // quiet, but the log knows why
    EXPECT_TRUE(loggedThat("Could not resolve host"));
    EXPECT_EQ(checkNow(false), (Message{"Couldn't check for updates.", "Could not resolve host: updates.example"}));
    transport.feed = feedFor(41, "ab");
    EXPECT_EQ(checkNow(false).text, "Écrin is up to date.");

    // A transfer cut off, or an archive that is not what the feed said: asked, the user
    // hears the chain's own words; nothing waits and nothing is left in the scratch folder.
    transport.feed = feedFor(42, std::string(64, '0'));
    checkNow(true);
    EXPECT_TRUE(loggedThat("The download was damaged. (its SHA-256 is not the one the feed gave)"));
    EXPECT_EQ(checkNow(false).informative, "The download was damaged.\nIts SHA-256 is not the one the feed gave.");
    transport.archive.clear();
    EXPECT_EQ(checkNow(false).informative, "Connection reset by peer");
    EXPECT_EQ(driver.told.size(), 4u);  // each check asked for said so once
    EXPECT_FALSE(updater.waiting());
    EXPECT_FALSE(fs::exists(updater.work()));
    EXPECT_EQ(transport.asked.size(), 9u);  // six feeds, three downloads
}

TEST_F(UpdaterTest, LaterWaitsAndOneAlertAtATimeThenQuitInstallsOnce) {
    offered();
    EXPECT_EQ(driver.events, std::vector<std::string>{"offer 2.0"});
    EXPECT_TRUE(driver.waitingAtOffer);
    // While the offer is up, nothing else of ours appears: not a second offer, not a message.
    updater.check(false);
    EXPECT_EQ(driver.events.size(), 1u);

    driver.answer(OfferAnswer::later);
    EXPECT_TRUE(stillWaiting());
    size_t requests = transport.asked.size();
    updater.check(true);  // offered again, without the network
    EXPECT_EQ(transport.asked.size(), requests);
    driver.answer(OfferAnswer::later);

    driver.quit();
    updater.install(false);
    EXPECT_EQ(driver.events, (std::vector<std::string>{"offer 2.0", "offer 2.0", "quit", "start"}));
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_NE(scripts[0].find(here.string()), std::string::npos);
    EXPECT_TRUE(fs::exists(base / "cache/org.mirovan.Test/update"));  // the script's to remove now
    updater.check(false);                                             // nothing more once the app is ending
    EXPECT_EQ(transport.asked.size(), requests);
}

TEST_F(UpdaterTest, RestartLeavesThePageInstallsWithRelaunchThenQuits) {
    driver.answerAtOnce = OfferAnswer::restart;  // so an offer made before the update is kept shows
    offered();
    EXPECT_EQ(driver.events, (std::vector<std::string>{"offer 2.0", "leave", "start, relaunch", "quit"}));
    EXPECT_EQ(scripts.size(), 1u);
    updater.install(true);  // a second install, whichever way it comes, starts nothing more
    EXPECT_EQ(scripts.size(), 1u);
    EXPECT_TRUE(driver.told.empty());
}

TEST_F(UpdaterTest, WhatStopsARestartLosesNothing) {
    offered();
    driver.pageLets = false;
    driver.answer(OfferAnswer::restart);
    EXPECT_EQ(driver.events.back(), "stay");
    EXPECT_TRUE(stillWaiting());

    // The page lets go, but the script cannot be started: the app stays open and says why.
    driver.pageLets = true;
    spawnFailures = 2;
    updater.check(false);
    driver.answer(OfferAnswer::restart);
    EXPECT_EQ(driver.events,
              (std::vector<std::string>{"offer 2.0", "stay", "offer 2.0", "leave", "start, relaunch", "tell"}));
    ASSERT_EQ(driver.told.size(), 1u);
    EXPECT_EQ(driver.told[0].text, "Couldn't restart to update.");
    EXPECT_NE(driver.told[0].informative.find("Resource unavailable"), std::string::npos);
    EXPECT_TRUE(stillWaiting());

    // Quitting tries once more; failing again, it is logged and the app ends all the same.
    driver.quit();
    updater.install(false);
    EXPECT_EQ(driver.events.back(), "start");
    EXPECT_EQ(std::count(driver.events.begin(), driver.events.end(), std::string("start")), 1);
    EXPECT_TRUE(scripts.empty());
    EXPECT_TRUE(loggedThat("Resource unavailable"));
}

TEST_F(UpdaterTest, ARefusedArchiveIsToldAgainWithoutDownloadingUntilTheFeedChanges) {
    // Build 42's archive announced as 43: its bytes are refused, and will be every time.
    std::string digest = *sha256OfFile((base / "Test-42.zip").string());
    transport.feed = feedFor(43, digest);
    for (int i = 0; i < 2; ++i) checkNow(false);
    ASSERT_EQ(driver.told.size(), 2u);
    EXPECT_NE(driver.told[0].informative.find("is build 42, the feed said 43"), std::string::npos);
    EXPECT_EQ(driver.told[1], driver.told[0]);
    // After a restart too; quiet checks log it once.
    Updater restarted(driver, transport, nullptr);
    logged.clear();
    for (int i = 0; i < 3; ++i) restarted.check(true), transport.release();
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(downloads(), 1u);

    // A feed that changes is tried again. No room is told before downloading, and not
    // remembered: it may be there next time.
    transport.feed = feedFor(42, digest, ", \"length\": 1000000000000000");
    EXPECT_EQ(checkNow(false).informative.substr(0, 54), "There isn't room for the update.\nThe update needs 1000");
    EXPECT_EQ(std::make_pair(driver.told.size(), downloads()), std::make_pair(size_t{3}, size_t{1}));
    transport.feed = feedFor(42, digest, ", \"length\": " + std::to_string(fs::file_size(base / "Test-42.zip")));
    checkNow(false);
    EXPECT_EQ(driver.events.back(), "offer 2.0");  // the bundle's own words, not the feed's "name"
    EXPECT_EQ(transport.bounds.back().exact, fs::file_size(base / "Test-42.zip"));
}

TEST_F(UpdaterTest, TheUsersCheckReplacesAStuckOneWhoseAnswerIsThenIgnored) {
    updater.check(true);
    updater.check(false);  // not stuck yet: the menu waits for it
    auto first = transport.bounds[0].progress;
    first->started = first->started - stuckAfter;
    updater.check(false);
    ASSERT_EQ(transport.asked.size(), 2u);
    EXPECT_TRUE(first->cancelled);
    // The stuck one answers late, with a failure; only the new one's answer counts.
    auto held = std::exchange(transport.held, {});
    transport.feed = Refusal{"Operation timed out"};
    held[0]();
    EXPECT_TRUE(driver.told.empty());
    transport.feed = feedFor(41, "ab");
    held[1]();
    EXPECT_EQ(driver.told, (std::vector<Message>{{"Écrin is up to date.", ""}}));
}
