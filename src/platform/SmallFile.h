// Reading a small regular file whole, for files whose size an attacker may choose
// (a downloaded bundle's Info.plist, its signature files, a key file).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

// The bytes of the regular file `name` (relative to the folder open at `dir`, or AT_FDCWD),
// when it holds at most `limit` of them; refused for anything else, or a file that grew
// past `limit` while it was read, with the reason as the cause. Never blocks on a FIFO or
// a device. Without `follow` a symlink is refused. `seen` gets the file's status as it
// was opened.
Checked<std::string> readSmallFile(int dir, const char* name, std::size_t limit, bool follow = true,
                                   struct stat* seen = nullptr);

}  // namespace mirovan
