// Extracting ZIP archives: modes, symlinks and names survive; hostile entries are refused
// and nothing lands outside the target folder.
#include "update/Extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

using namespace mirovan;
namespace fs = std::filesystem;

// Also used by UnpackTest.cpp. `mode` carries the type bits; a link's data is its target.
struct ZipEntry {
    std::string name;
    unsigned mode;
    std::string data;
};

// Written with libarchive so that any name and mode can go in, hostile ones included.
// UTF-8 locale on this thread so non-ASCII names are stored and flagged as UTF-8.
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    locale_t previous = uselocale(utf8);
    archive* zip = archive_write_new();
    archive_write_set_format_zip(zip);
    EXPECT_EQ(archive_write_open_filename(zip, path.c_str()), ARCHIVE_OK) << path;
    for (const ZipEntry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_mode(entry, e.mode);
        archive_entry_set_mtime(entry, 1700000000, 0);
        if (S_ISLNK(e.mode)) archive_entry_set_symlink(entry, e.data.c_str());
        archive_entry_set_size(entry, S_ISREG(e.mode) ? static_cast<la_int64_t>(e.data.size()) : 0);
        EXPECT_EQ(archive_write_header(zip, entry), ARCHIVE_OK) << e.name;
        if (S_ISREG(e.mode)) archive_write_data(zip, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(zip);
    archive_write_free(zip);
    uselocale(previous);
    freelocale(utf8);
}

namespace {

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Each entry below `root` as "kind perms content-or-target", by relative path.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        struct stat st;
        lstat(item.path().c_str(), &st);
        std::ostringstream row;
        row << (S_ISLNK(st.st_mode) ? "link " : S_ISDIR(st.st_mode) ? "dir " : "file ") << std::oct
            << (st.st_mode & 07777) << ' ';
        if (S_ISLNK(st.st_mode)) row << fs::read_symlink(item.path()).string();
        else if (S_ISREG(st.st_mode)) row << slurp(item.path());
        entries[item.path().lexically_relative(root).string()] = row.str();
    }
    return entries;
}

// The high half of a central-directory entry's external attributes is its Unix mode.
void patchMode(const std::string& zip, int index, unsigned mode) {
    std::string bytes = slurp(zip);
    size_t at = 0;
    for (int i = 0; i <= index; ++i) at = bytes.find("PK\x01\x02", i ? at + 4 : 0);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 40] = static_cast<char>(mode & 0xff);
    bytes[at + 41] = static_cast<char>(mode >> 8);
    std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;
}

class Extract : public ::testing::Test {
protected:
    // base/into is the target; everything else in base must stay as it was.
    fs::path base = fs::temp_directory_path() / ("mirovan-extract-" + std::to_string(getpid()));
    fs::path into = base / "into";
    std::string zip = (base / "a.zip").string();
    void SetUp() override { fs::create_directories(into); }
    void TearDown() override { fs::remove_all(base); }
    std::vector<std::string> besideInto() const {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(base))
            if (item.path() != into && item.path() != zip) names.push_back(item.path().filename());
        return names;
    }
};

}  // namespace

TEST_F(Extract, KeepsContentsModesLinksAndNames) {
    writeZip(zip, {{"X.app/", S_IFDIR | 0755, ""},
                   {"X.app/Contents/Linux/prog", S_IFREG | 0755, "#!/bin/sh\n"},
                   {"X.app/Contents/Resources/ro", S_IFREG | 0444, "read only"},
                   {"X.app/Contents/Resources/Résumé ü.txt", S_IFREG | 0600, "utf-8"},
                   {"X.app/Contents/Private/", S_IFDIR | 0700, ""},
                   {"X.app/Contents/run", S_IFLNK | 0777, "Linux/prog"},
                   {"X.app/Contents/Up", S_IFLNK | 0777, "../Contents/./Resources"},
                   {"./X.app/./Contents//Empty", S_IFREG | 0644, ""}});
    ASSERT_TRUE(extractZip(zip, into.string()));
    std::map<std::string, std::string> got = tree(into);
    EXPECT_EQ(got["X.app"], "dir 755 ");
    EXPECT_EQ(got["X.app/Contents/Linux/prog"], "file 755 #!/bin/sh\n");
    EXPECT_EQ(got["X.app/Contents/Resources/ro"], "file 444 read only");
    EXPECT_EQ(got["X.app/Contents/Resources/Résumé ü.txt"], "file 600 utf-8");
    EXPECT_EQ(got["X.app/Contents/Private"], "dir 700 ");
    EXPECT_EQ(got["X.app/Contents/run"], "link 777 Linux/prog");
    EXPECT_EQ(got["X.app/Contents/Up"], "link 777 ../Contents/./Resources");
    EXPECT_EQ(got["X.app/Contents/Empty"], "file 644 ");
    struct stat st;
    ASSERT_EQ(stat((into / "X.app/Contents/Linux/prog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1700000000);
    EXPECT_TRUE(besideInto().empty());
}

TEST_F(Extract, ReadsWhatTheZipCommandWrites) {
    fs::path source = base / "source";
    fs::create_directories(source / "X.app/Contents/Linux");
    fs::create_directories(source / "X.app/Contents/Frameworks/Lib.framework/Versions/A");
    std::ofstream(source / "X.app/Contents/Linux/prog") << "program";
    std::ofstream(source / "X.app/Contents/Frameworks/Lib.framework/Versions/A/lib") << "lib";
    fs::permissions(source / "X.app/Contents/Linux/prog", fs::perms(0751));
    fs::create_directory_symlink("A", source / "X.app/Contents/Frameworks/Lib.framework/Versions/Current");
    fs::create_symlink("Versions/Current/lib", source / "X.app/Contents/Frameworks/Lib.framework/lib");
    ASSERT_EQ(std::system(("cd '" + source.string() + "' && zip -qry '" + zip + "' X.app").c_str()), 0);
    ASSERT_TRUE(extractZip(zip, into.string()));
    EXPECT_EQ(tree(into), tree(source));
    fs::remove_all(source);
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
        {"link then a file through it", {fine, {"X.app/l", S_IFLNK | 0777, "Contents"},
                                         {"X.app/l/through", S_IFREG | 0644, "x"}}},
        {"set-uid file", {fine, {"X.app/suid", S_IFREG | 04755, "x"}}},
        {"set-gid folder", {fine, {"X.app/sgid/", S_IFDIR | 02755, ""}}},
    };
    for (const auto& [what, entries] : hostile) {
        writeZip(zip, entries);
        EXPECT_FALSE(extractZip(zip, into.string())) << what;
        EXPECT_TRUE(besideInto().empty()) << what;
        EXPECT_FALSE(fs::exists(into / "X.app/Contents/through")) << what;
        EXPECT_FALSE(fs::exists(into / "X.app/suid")) << what;
        fs::remove_all(into);
        fs::create_directory(into);
    }
    // Types a bundle never holds, forged in the mode bits as any tool could: whatever
    // happens, no device, FIFO or socket appears.
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
    std::ofstream(zip) << "<html><body>502 Bad Gateway</body></html>";
    EXPECT_FALSE(extractZip(zip, into.string()));
    EXPECT_FALSE(extractZip((base / "missing.zip").string(), into.string()));

    // Stored bytes that deflate cannot shrink, so the damage lands in the entry's data.
    std::string noise(4096, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    writeZip(zip, {{"X.app/data", S_IFREG | 0644, noise}});
    EXPECT_FALSE(extractZip(zip, (base / "no-such-folder").string()));
    std::string bytes = slurp(zip);
    size_t data = bytes.find(noise.substr(2048, 64));
    ASSERT_NE(data, std::string::npos);
    bytes[data] ^= 0x55;
    std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_FALSE(extractZip(zip, into.string()));  // the CRC no longer matches

    ASSERT_EQ(std::system(("tar -cf '" + zip + "' -C '" + base.string() + "' into").c_str()), 0);
    EXPECT_FALSE(extractZip(zip, into.string()));  // only ZIP is an update archive
    EXPECT_TRUE(besideInto().empty());
}
