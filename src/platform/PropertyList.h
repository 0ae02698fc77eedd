// libplist, loaded at run time by whichever soname this system has (libplist-2.0.so.4 on
// Debian 13, .so.3 on Debian 12), so that one build of the program starts on both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <plist/plist.h>

#include "platform/Checked.h"

namespace mirovan::plist {

// The loaded library's calls, or the refusal that says which sonames were tried and why
// they did not load. Loaded once, on first use; never unloaded.
struct Library {
    plist_t (*dictItem)(plist_t, const char*);
    plist_type (*nodeType)(plist_t);
    const char* (*stringPtr)(plist_t, uint64_t*);
    void (*boolValue)(plist_t, uint8_t*);
    void (*free)(plist_t);
    // XML or binary; null when the bytes are no property list.
    plist_t (*fromMemory)(const char* data, std::size_t size);
    const char* soname;
};
const Checked<const Library*>& library();

}  // namespace mirovan::plist
