// System calls carried on when a signal interrupts them: EINTR is no failure of theirs.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace mirovan {

// `call()`, again for as long as it fails with EINTR; its last result.
template <typename Call>
auto uninterrupted(Call call) {
    auto result = call();
    while (result < 0 && errno == EINTR) result = call();
    return result;
}

// Writes all of `bytes` to `fd`, however many writes it takes; false on any failure.
inline bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = uninterrupted([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace mirovan
