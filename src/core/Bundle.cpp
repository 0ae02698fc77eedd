// Finding the bundle from the program's path and reading its Info.plist with libplist
// (loaded at run time: platform/PropertyList.h).
#include "core/Bundle.h"

#include <fcntl.h>

#include <filesystem>

#include "platform/PropertyList.h"
#include "platform/SmallFile.h"

namespace mirovan {

namespace fs = std::filesystem;

namespace {

// Far above any real Info.plist; a downloaded bundle's is read before its signature is
// checked, so its size must not be the archive's to choose.
constexpr std::size_t infoLimit = 1 << 20;

Checked<std::shared_ptr<void>> readInfo(const fs::path& file) {
    Checked<std::string> bytes = readSmallFile(AT_FDCWD, file.c_str(), infoLimit);
    if (!bytes) return Refusal{"The Info.plist couldn't be read.", bytes.cause()};
    const auto& lib = plist::library();
    if (!lib) return Refusal{"The Info.plist couldn't be read.", lib.why() + " " + lib.cause()};
    plist_t root = (*lib)->fromMemory(bytes->data(), bytes->size());
    if (!root) return Refusal{"The Info.plist couldn't be read.", "not a property list"};
    auto free = (*lib)->free;
    if ((*lib)->nodeType(root) != PLIST_DICT) {
        free(root);
        return Refusal{"The Info.plist couldn't be read.", "not a dictionary"};
    }
    return std::shared_ptr<void>(root, [free](void* p) { free(static_cast<plist_t>(p)); });
}

// Only called with info_ set, which needs the library loaded.
plist_t item(const std::shared_ptr<void>& info, const char* key, plist_type type) {
    const plist::Library& lib = **plist::library();
    plist_t node = lib.dictItem(static_cast<plist_t>(info.get()), key);
    return node && lib.nodeType(node) == type ? node : nullptr;
}

}  // namespace

Bundle Bundle::at(const std::string& root) {
    Bundle b;
    b.root_ = root;
    b.resources_ = (fs::path(root) / "Contents" / "Resources").string();
    auto info = readInfo(fs::path(root) / "Contents" / "Info.plist");
    if (info) {
        b.info_ = *std::move(info);
        b.infoRead_ = accepted();
    } else {
        b.infoRead_ = info.refusal();
    }
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
    plist_t node = info_ ? item(info_, key, PLIST_STRING) : nullptr;
    if (!node) return std::nullopt;
    uint64_t length = 0;
    const char* value = (*plist::library())->stringPtr(node, &length);
    return value ? std::string(value, length) : std::string();
}

std::optional<bool> Bundle::boolean(const char* key) const {
    plist_t node = info_ ? item(info_, key, PLIST_BOOLEAN) : nullptr;
    if (!node) return std::nullopt;
    uint8_t value = 0;
    (*plist::library())->boolValue(node, &value);
    return value != 0;
}

std::string Bundle::name() const { return string("CFBundleName").value_or("Mirovan"); }

bool plainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

std::string Bundle::folderName() const {
    if (auto id = identifier(); id && plainFileName(*id)) return *id;
    if (auto n = name(); plainFileName(n)) return n;
    return "Mirovan";
}

}  // namespace mirovan
