// What the unit tests share: scratch folders, files, bundles, keys, hand-made ZIP archives
// and child processes that are always ended.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ChildProcess.h"
#include "update/Signing.h"

namespace kit {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void put(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// A fresh folder unique to this process and call, removed with its holder.
struct Scratch {
    fs::path dir;
    explicit Scratch(const std::string& tag) {
        std::string name = (fs::temp_directory_path() / ("mirovan-" + tag + "-XXXXXX")).string();
        EXPECT_TRUE(mkdtemp(name.data())) << name;
        dir = name;
    }
    Scratch(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path operator/(const fs::path& part) const { return dir / part; }
};

inline std::string infoPlist(const std::string& identifier, const std::string& more = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>" +
           identifier + "</string>" + more + "</dict></plist>\n";
}

// An executable, an empty folder, a name that needs escaping, and links as `zip -y` keeps
// them, one leading through another.
inline void makeBundle(const fs::path& app, const std::string& identifier = "org.mirovan.Test",
                       const std::string& version = "<string>42</string>") {
    put(app / "Contents/Info.plist", infoPlist(identifier,
                                               "<key>CFBundleExecutable</key><string>prog</string>"
                                               "<key>CFBundleVersion</key>" +
                                                   version));
    put(app / "Contents/Linux/prog", "#!/bin/sh\necho hi\n");
    fs::permissions(app / "Contents/Linux/prog", fs::perms(0755));
    put(app / "Contents/Resources/odd \"name\"\n\\ here", "x");
    fs::create_directories(app / "Contents/Resources/empty");
    fs::create_directory_symlink("Linux", app / "Contents/Current");
    fs::create_symlink("Current/prog", app / "Contents/prog");
}

inline std::string newKey(const fs::path& file) {
    auto team = mirovan::makeKey(file.string());
    EXPECT_TRUE(team) << team.why();
    return team ? *team : "";
}

inline void sign(const fs::path& app, const fs::path& key) {
    auto done = mirovan::signBundle(app.string(), key.string());
    EXPECT_TRUE(done) << done.why();
}

// `mode` carries the type bits; a link's data is its target.
struct ZipEntry {
    std::string name;
    unsigned mode;
    std::string data;
};

// Written with libarchive so that any name and mode can go in, hostile ones included. The
// UTF-8 locale makes non-ASCII names go in flagged as UTF-8.
inline void writeZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0)), previous = uselocale(utf8);
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
    archive_write_free(zip);
    uselocale(previous);
    freelocale(utf8);
}

// `zip -qry` of everything inside `from`, as a release is made.
inline void zipFolder(const fs::path& from, const fs::path& zip) {
    fs::remove(zip);
    std::string command = "cd '" + from.string() + "' && zip -qry '" + zip.string() + "' .";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

// Polls `done` until it holds or `limit` has passed; true when it held.
template <class Condition>
bool waitFor(Condition done, std::chrono::seconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        usleep(5000);
    }
    return true;
}

// A /bin/sh child whose whole process group is killed and collected however the test ends.
struct Child {
    std::unique_ptr<mirovan::ChildProcess> process;
    explicit Child(const std::string& script, const std::string& directory = "/") {
        auto r = mirovan::ChildProcess::spawn({{"/bin/sh", "-c", script}, directory, {"PATH=/usr/bin:/bin", "MARK=x"}});
        EXPECT_TRUE(r) << r.cause();
        if (r) process = *std::move(r);
    }
    ~Child() {
        if (!process) return;
        kill(-process->pid(), SIGKILL);
        waitpid(process->pid(), nullptr, 0);
    }
    mirovan::ChildProcess* operator->() const { return process.get(); }
    bool ended() { return process->waitForExit(std::chrono::steady_clock::now() + 20s, 20ms); }
};

}  // namespace kit
