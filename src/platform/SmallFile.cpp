// One bounded read of a small regular file.
#include "platform/SmallFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/Interrupted.h"
#include "platform/Owned.h"

namespace mirovan {

namespace {

Refusal unreadable(std::string cause) { return {"The file couldn't be read.", std::move(cause)}; }

}  // namespace

Checked<std::string> readSmallFile(int dir, const char* name, std::size_t limit, bool follow, struct stat* seen) {
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW);
    Fd fd(openat(dir, name, flags));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) return unreadable(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return unreadable("not a regular file");
    std::string tooLarge = "larger than " + std::to_string(limit) + " bytes";
    if (std::uint64_t(st.st_size) > limit) return unreadable(tooLarge);
    std::string bytes(size_t(st.st_size) + 1, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = uninterrupted([&] { return read(fd.get(), bytes.data() + got, bytes.size() - got); });
        if (n < 0) return unreadable(std::strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    if (got > limit) return unreadable(tooLarge);
    bytes.resize(got);
    if (seen) *seen = st;
    return bytes;
}

}  // namespace mirovan
