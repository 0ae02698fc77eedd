// One bounded read of a small regular file.
#include "platform/SmallFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Interrupted.h"
#include "platform/Owned.h"

namespace mirovan {

std::optional<std::string> readSmallFile(int dir, const char* name, std::size_t limit, bool follow, struct stat* seen) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    Fd fd(openat(dir, name, flags));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || std::uint64_t(st.st_size) > limit)
        return std::nullopt;
    std::string bytes(size_t(st.st_size) + 1, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = uninterrupted([&] { return read(fd.get(), bytes.data() + got, bytes.size() - got); });
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += size_t(n);
    }
    if (got > limit) return std::nullopt;
    bytes.resize(got);
    if (seen) *seen = st;
    return bytes;
}

}  // namespace mirovan
