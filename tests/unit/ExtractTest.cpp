// Extracting ZIP archives: modes, symlinks and names survive; hostile entries are refused
// and nothing lands outside the target folder.
#include "update/Extract.h"

#include <random>
#include <sstream>

#include "BundleKit.h"

using namespace mirovan;
using namespace kit;

namespace {

std::string row(unsigned mode, const std::string& data) {
    std::ostringstream text;
    text << (S_ISLNK(mode) ? "link " : S_ISDIR(mode) ? "dir " : "file ") << std::oct << (mode & 07777) << ' ' << data;
    return text.str();
}

// The high half of a central-directory entry's external attributes is its Unix mode.
void patchMode(const std::string& zip, int index, unsigned mode) {
    std::string bytes = slurp(zip);
    size_t at = 0;
    for (int i = 0; i <= index; ++i) at = bytes.find("PK\x01\x02", i ? at + 4 : 0);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 40] = static_cast<char>(mode & 0xff);
    bytes[at + 41] = static_cast<char>(mode >> 8);
    put(zip, bytes);
}

class Extract : public ::testing::Test {
protected:
    // base/into is the target; nothing else may appear in base.
    fs::path base = scratch("extract"), into = base / "into";
    std::string zip = (base / "a.zip").string();
    void SetUp() override { fs::create_directories(into); }
    void TearDown() override { fs::remove_all(base); }
    bool onlyInto() const {
        for (const auto& item : fs::directory_iterator(base))
            if (item.path() != into && item.path() != zip) return false;
        return true;
    }
};

}  // namespace

TEST_F(Extract, KeepsContentsModesLinksAndNames) {
    const std::vector<ZipEntry> entries = {
        {"X.app/", S_IFDIR | 0755, ""}, {"X.app/Contents/Linux/prog", S_IFREG | 0755, "#!/bin/sh\n"},
        {"X.app/Contents/Resources/ro", S_IFREG | 0444, "read only"},
        {"X.app/Contents/Resources/Résumé ü.txt", S_IFREG | 0600, "utf-8"},
        {"X.app/Contents/Private/", S_IFDIR | 0700, ""}, {"X.app/Contents/run", S_IFLNK | 0777, "Linux/prog"},
        {"X.app/Contents/Up", S_IFLNK | 0777, "../Contents/./Resources"},
        {"./X.app/./Contents//Empty", S_IFREG | 0644, ""}};
    writeZip(zip, entries);
    ASSERT_TRUE(extractZip(zip, into.string()));
    for (const ZipEntry& e : entries) {
        fs::path path = into / fs::path(e.name).lexically_normal();
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(row(st.st_mode, S_ISLNK(st.st_mode) ? fs::read_symlink(path).string()
                                  : S_ISREG(st.st_mode) ? slurp(path) : ""),
                  row(e.mode, e.data)) << path;
    }
    EXPECT_EQ(fs::last_write_time(into / "X.app/Contents/Linux/prog"),
              std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
    EXPECT_TRUE(onlyInto());
}

TEST_F(Extract, RefusesEntriesThatWouldLandOutsideOrCarryPrivilege) {
    const ZipEntry fine{"X.app/Contents/fine", S_IFREG | 0644, "ok"};
    const std::string outside = (base / "outside").string();
    const std::vector<std::pair<const char*, std::vector<ZipEntry>>> hostile = {
        {"absolute name", {fine, {outside, S_IFREG | 0644, "x"}}},
        {"climbing name", {fine, {"../outside", S_IFREG | 0644, "x"}}},
        {"climbing inside a name", {fine, {"X.app/../../outside", S_IFREG | 0644, "x"}}},
        {"link climbing out", {fine, {"X.app/l", S_IFLNK | 0777, "../../outside"}}},
        {"absolute link", {fine, {"X.app/l", S_IFLNK | 0777, outside}}},
        // The text stays in X.app/Contents, but s leads to the top, and ".." from there out.
        {"climb after a name", {fine, {"X.app/Contents/s", S_IFLNK | 0777, "../.."},
                                {"X.app/Contents/l", S_IFLNK | 0777, "s/../outside"}}},
        {"file through a link", {fine, {"X.app/l", S_IFLNK | 0777, "Contents"},
                                 {"X.app/l/through", S_IFREG | 0644, "x"}}},
        {"set-uid file", {fine, {"X.app/suid", S_IFREG | 04755, "x"}}},
        {"set-gid folder", {fine, {"X.app/sgid/", S_IFDIR | 02755, ""}}},
    };
    for (const auto& [what, entries] : hostile) {
        SCOPED_TRACE(what);
        writeZip(zip, entries);
        EXPECT_FALSE(extractZip(zip, into.string()));
        EXPECT_TRUE(onlyInto());
        EXPECT_FALSE(fs::exists(into / "X.app/Contents/through"));
        EXPECT_FALSE(fs::exists(into / "X.app/suid"));
        fs::remove_all(into);
        fs::create_directory(into);
    }
    // Types a bundle never holds, forged in the mode bits: no device, FIFO or socket appears.
    for (unsigned type : {S_IFIFO, S_IFCHR, S_IFBLK, S_IFSOCK}) {
        writeZip(zip, {fine, {"X.app/odd", S_IFREG | 0644, ""}});
        patchMode(zip, 1, type | 0644);
        extractZip(zip, into.string());
        fs::file_status odd = fs::symlink_status(into / "X.app/odd");
        EXPECT_TRUE(!fs::exists(odd) || fs::is_regular_file(odd)) << std::oct << type;
        fs::remove_all(into / "X.app");
    }
}

TEST_F(Extract, FailsOnWhatIsNotASoundZip) {
    put(zip, "<html><body>502 Bad Gateway</body></html>");
    EXPECT_FALSE(extractZip(zip, into.string()));
    EXPECT_FALSE(extractZip((base / "missing.zip").string(), into.string()));

    // Random bytes deflate cannot shrink, so the damage lands in the entry's data.
    std::string noise(4096, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    writeZip(zip, {{"X.app/data", S_IFREG | 0644, noise}});
    EXPECT_FALSE(extractZip(zip, (base / "no-such-folder").string()));
    std::string bytes = slurp(zip);
    size_t data = bytes.find(noise.substr(2048, 64));
    ASSERT_NE(data, std::string::npos);
    bytes[data] ^= 0x55;
    put(zip, bytes);
    EXPECT_FALSE(extractZip(zip, into.string()));  // the CRC no longer matches

    ASSERT_EQ(std::system(("tar -cf '" + zip + "' -C '" + base.string() + "' into").c_str()), 0);
    EXPECT_FALSE(extractZip(zip, into.string()));  // only ZIP is an update archive
    EXPECT_TRUE(onlyInto());
}
