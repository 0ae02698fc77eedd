// Finding the bundle from the program's path and reading its Info.plist with libplist.
#include "core/Bundle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>

#include <plist/plist.h>

namespace mirovan {

namespace fs = std::filesystem;

namespace {

// Far above any real Info.plist; a downloaded bundle's is read before its signature is
// checked, so its size must not be the archive's to choose.
constexpr std::size_t infoLimit = 1 << 20;

// A regular file's bytes, when it holds at most `limit` of them.
std::optional<std::string> readSmallFile(const fs::path& file, std::size_t limit) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st;
    std::optional<std::string> bytes;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) <= limit) {
        std::string data(limit + 1, '\0');
        std::size_t got = 0;
        for (;;) {
            ssize_t n = read(fd, data.data() + got, data.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
            if (got == data.size()) break;
        }
        // A file that grew past the limit while it was read counts as too big.
        if (got <= limit) bytes = data.substr(0, got);
    }
    close(fd);
    return bytes;
}

std::shared_ptr<void> readInfo(const fs::path& file) {
    std::optional<std::string> bytes = readSmallFile(file, infoLimit);
    if (!bytes) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    if (!root) return nullptr;
    if (plist_get_node_type(root) != PLIST_DICT) {
        plist_free(root);
        return nullptr;
    }
    return std::shared_ptr<void>(root, [](void* p) { plist_free(static_cast<plist_t>(p)); });
}

}  // namespace

Bundle Bundle::at(const std::string& root) {
    Bundle b;
    b.root_ = root;
    b.resources_ = (fs::path(root) / "Contents" / "Resources").string();
    b.info_ = readInfo(fs::path(root) / "Contents" / "Info.plist");
    return b;
}

Bundle Bundle::forExecutable(const std::string& executable) {
    fs::path folder = fs::path(executable).parent_path();
    fs::path contents = folder.parent_path();
    fs::path root = contents.parent_path();
    if (folder.filename() == "Linux" && contents.filename() == "Contents" && root.extension() == ".app")
        return at(root.string());
    Bundle b;
    b.root_ = folder.string();
    b.resources_ = folder.string();
    return b;
}

std::optional<std::string> Bundle::string(const char* key) const {
    if (!info_) return std::nullopt;
    plist_t node = plist_dict_get_item(static_cast<plist_t>(info_.get()), key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    return value ? std::string(value, length) : std::string();
}

std::string Bundle::name() const { return string("CFBundleName").value_or("Mirovan"); }

}  // namespace mirovan
