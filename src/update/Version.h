// Build numbers: the decimal integers in CFBundleVersion and in the update feed.
#pragma once

#include <cstdint>
#include <string_view>

namespace mirovan {

// An optional single "+" or "-", then one or more ASCII digits and nothing else, within
// the signed 64-bit range. Anything else (a dot, a blank, a lone sign, overflow) is 0.
std::int64_t buildNumber(std::string_view text);

}  // namespace mirovan
