// Finding the bundle from the program's path and reading its Info.plist with libplist.
#include "core/Bundle.h"

#include <fcntl.h>

#include <filesystem>
#include <type_traits>

#include <plist/plist.h>

#include "platform/SmallFile.h"

namespace mirovan {

namespace fs = std::filesystem;

namespace {

// Far above any real Info.plist; a downloaded bundle's is read before its signature is
// checked, so its size must not be the archive's to choose.
constexpr std::size_t infoLimit = 1 << 20;

// libplist 2.3 added an out-argument for the format read; both forms are called here.
template <typename Parse>
void fromMemory(Parse parse, const char* bytes, uint32_t size, plist_t* root) {
    if constexpr (std::is_invocable_v<Parse, const char*, uint32_t, plist_t*>)
        parse(bytes, size, root);
    else
        parse(bytes, size, root, nullptr);
}

Checked<std::shared_ptr<void>> readInfo(const fs::path& file) {
    Checked<std::string> bytes = readSmallFile(AT_FDCWD, file.c_str(), infoLimit);
    if (!bytes) return Refusal{"The Info.plist couldn't be read.", bytes.cause()};
    plist_t root = nullptr;
    fromMemory(plist_from_memory, bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
    if (!root) return Refusal{"The Info.plist couldn't be read.", "not a property list"};
    if (plist_get_node_type(root) != PLIST_DICT) {
        plist_free(root);
        return Refusal{"The Info.plist couldn't be read.", "not a dictionary"};
    }
    return std::shared_ptr<void>(root, [](void* p) { plist_free(static_cast<plist_t>(p)); });
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
    if (!info_) return std::nullopt;
    plist_t node = plist_dict_get_item(static_cast<plist_t>(info_.get()), key);
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    return value ? std::string(value, length) : std::string();
}

std::optional<bool> Bundle::boolean(const char* key) const {
    if (!info_) return std::nullopt;
    plist_t node = plist_dict_get_item(static_cast<plist_t>(info_.get()), key);
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
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
