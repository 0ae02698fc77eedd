// The build-number conversion shared by the running bundle, the feed and the download.
#include "update/Version.h"

#include <algorithm>
#include <charconv>

namespace mirovan {

std::int64_t buildNumber(std::string_view text) {
    bool sign = !text.empty() && (text.front() == '+' || text.front() == '-');
    std::string_view digits = sign ? text.substr(1) : text;
    // Checked here because from_chars would stop quietly at the first non-digit.
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return 0;
    // from_chars takes a "-" (so the most negative value converts) but not a "+".
    std::string_view number = text.front() == '-' ? text : digits;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    return error == std::errc() ? value : 0;
}

}  // namespace mirovan
