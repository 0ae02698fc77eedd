// Update archives come from the network: whatever extracting one does, accepted or
// refused, nothing appears or changes outside the target folder, and no link written
// inside it leads out.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "update/Extract.h"

using namespace mirovan;
namespace fs = std::filesystem;

namespace {

// Every path below `dir`; folders are opened up first, since an archive may set any mode.
void walk(const fs::path& dir, std::vector<fs::path>& found) {
    std::error_code ignored;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (const auto& item : fs::directory_iterator(dir, ignored)) {
        found.push_back(item.path());
        if (fs::is_directory(item.symlink_status())) walk(item.path(), found);
    }
}

bool inside(const fs::path& path, const fs::path& folder) { return path.native().starts_with(folder.native() + "/"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The target sits a few folders deep, so climbing out of it lands where it is seen.
    static const fs::path top =
        fs::canonical(fs::temp_directory_path()) / ("mirovan-fuzz-extract-" + std::to_string(getpid()));
    static const fs::path zip = top / "in.zip", parent = top / "1/2/3", into = parent / "into";
    static const std::set<fs::path> allowed = {zip, top / "1", top / "1/2", parent, into, parent / "sentinel"};
    static const int cleanup = std::atexit([] { fs::remove_all(top); });
    (void)cleanup;

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    fs::create_directories(into);
    fs::create_directories(parent / "sentinel");
    std::ofstream(zip, std::ios::binary | std::ios::trunc) << bytes;

    (void)extractZip(zip.string(), into.string(), extractLimits(1ull << 30));

    std::vector<fs::path> found;
    walk(top, found);
    for (const fs::path& path : found) {
        if (!inside(path, into)) {
            if (!allowed.contains(path)) std::abort();
            continue;
        }
        if (!fs::is_symlink(fs::symlink_status(path))) continue;
        std::error_code loop;  // a loop of links inside cannot lead out
        fs::path leads = fs::weakly_canonical(path, loop);
        if (!loop && leads != into && !inside(leads, into)) std::abort();
    }
    std::ifstream in(zip, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(in), {}) != bytes) std::abort();
    fs::remove_all(top / "1");
    return 0;
}
