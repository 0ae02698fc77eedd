// Helpers shared by the updater tests: files, scratch folders and hand-made ZIP archives.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace kit {

namespace fs = std::filesystem;

inline std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void put(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// A fresh folder unique to this process and call.
inline fs::path scratch(const std::string& tag) {
    static int count = 0;
    fs::path dir = fs::temp_directory_path() / ("mirovan-" + tag + "-" + std::to_string(getpid()) + "-" +
                                                std::to_string(++count));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

inline std::string infoPlist(const std::string& identifier, const std::string& more = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>" + identifier + "</string>" + more + "</dict></plist>\n";
}

// `mode` carries the type bits; a link's data is its target.
struct ZipEntry {
    std::string name;
    unsigned mode;
    std::string data;
};

// Written with libarchive so that any name and mode can go in, hostile ones included. The
// UTF-8 locale makes non-ASCII names go in flagged as UTF-8.
inline void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
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

// `zip -qry` from inside `from`, as a release is made.
inline void zipFolder(const fs::path& from, const std::string& what, const std::string& zip) {
    fs::remove(zip);
    std::string command = "cd '" + from.string() + "' && zip -qry '" + zip + "' " + what;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace kit
