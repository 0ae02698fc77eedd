// Loads libplist by name and hides the one call whose arguments changed between its
// releases: plist_from_memory gained a format argument in 2.3 (the .so.4 soname).
#include "platform/PropertyList.h"

#include <dlfcn.h>

namespace mirovan::plist {

namespace {

// Newest first: a system with both uses the one its own packages are built against.
constexpr const char* sonames[] = {"libplist-2.0.so.4", "libplist-2.0.so.3"};

using FromMemory3 = void (*)(const char*, uint32_t, plist_t*);
using FromMemory4 = int (*)(const char*, uint32_t, plist_t*, int*);

void* fromMemoryCall = nullptr;
bool takesFormat = false;

plist_t fromMemory(const char* data, std::size_t size) {
    if (size > UINT32_MAX) return nullptr;
    plist_t root = nullptr;
    if (takesFormat) {
        int format = 0;
        reinterpret_cast<FromMemory4>(fromMemoryCall)(data, static_cast<uint32_t>(size), &root, &format);
    } else {
        reinterpret_cast<FromMemory3>(fromMemoryCall)(data, static_cast<uint32_t>(size), &root);
    }
    return root;
}

template <class F>
bool bind(void* handle, const char* name, F& to) {
    void* symbol = dlsym(handle, name);
    to = reinterpret_cast<F>(symbol);
    return symbol != nullptr;
}

Checked<const Library*> load() {
    static Library lib{};
    std::string tried;
    for (const char* soname : sonames) {
        void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            tried += std::string(tried.empty() ? "" : "; ") + dlerror();
            continue;
        }
        // plist_read_from_file came with 2.3, together with the format argument.
        takesFormat = dlsym(handle, "plist_read_from_file") != nullptr;
        fromMemoryCall = dlsym(handle, "plist_from_memory");
        if (fromMemoryCall && bind(handle, "plist_dict_get_item", lib.dictItem) &&
            bind(handle, "plist_get_node_type", lib.nodeType) &&
            bind(handle, "plist_get_string_ptr", lib.stringPtr) &&
            bind(handle, "plist_get_bool_val", lib.boolValue) && bind(handle, "plist_free", lib.free)) {
            lib.fromMemory = fromMemory;
            lib.soname = soname;
            return &lib;
        }
        tried += std::string(tried.empty() ? "" : "; ") + soname + " lacks a call this program uses";
        dlclose(handle);
    }
    return Refusal{"libplist (libplist-2.0.so.4 or .so.3) is not installed.", tried, true};
}

}  // namespace

const Checked<const Library*>& library() {
    static const Checked<const Library*> loaded = load();
    return loaded;
}

}  // namespace mirovan::plist
