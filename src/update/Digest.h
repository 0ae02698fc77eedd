// SHA-256 as the feed writes it: 64 lowercase hexadecimal digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Checked.h"

namespace mirovan {

std::string sha256Hex(std::string_view bytes);
// The digest of a file's bytes, read in one pass.
Checked<std::string> sha256OfFile(const std::string& path);

}  // namespace mirovan
