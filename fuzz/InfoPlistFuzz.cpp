// Info.plist is read from bundles on disk, updates included: any bytes there, XML or
// binary, must read as a dictionary or as nothing.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/Bundle.h"

using namespace mirovan;
namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One bundle folder for the whole run; each input overwrites its Info.plist.
    static const fs::path root = fs::temp_directory_path() / ("mirovan-fuzz-plist-" + std::to_string(getpid()));
    static const int made = (fs::create_directories(root / "Contents"), std::atexit([] { fs::remove_all(root); }));
    (void)made;
    std::ofstream(root / "Contents/Info.plist", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Bundle bundle = Bundle::at(root.string());
    if (bundle.name() != bundle.string("CFBundleName").value_or("Mirovan")) std::abort();
    (void)bundle.identifier();
    for (const char* key : {"CFBundleVersion", "MirovanUpdateURL", "CFBundleExecutable", ""}) (void)bundle.string(key);
    return 0;
}
