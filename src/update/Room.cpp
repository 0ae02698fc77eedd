// The update's room on disk, and the words for running out of it.
#include "update/Room.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace mirovan {

namespace {

constexpr const char* kNoRoom = "There isn't room for the update.";

}  // namespace

Checked<std::uint64_t> freeSpace(const std::string& folder) {
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) != 0) return Refusal{kNoRoom, std::strerror(errno)};
    return std::uint64_t(fs.f_bavail) * fs.f_frsize;
}

std::uint64_t room(std::uint64_t freeBytes) { return freeBytes > spareBytes ? freeBytes - spareBytes : 0; }

std::string megabytes(std::uint64_t bytes, bool up) {
    constexpr std::uint64_t mb = 1'000'000;
    return std::to_string(bytes / mb + (up && bytes % mb ? 1 : 0)) + " MB";
}

Refusal noRoom(std::uint64_t needed, std::uint64_t freeBytes) {
    // Rounded apart, so the need always reads as more than what is free.
    std::uint64_t total = needed > UINT64_MAX - spareBytes ? UINT64_MAX : needed + spareBytes;
    return {kNoRoom,
            "The update needs " + megabytes(total, true) + " and only " + megabytes(freeBytes, false) + " are free."};
}

Refusal outgrew(std::uint64_t freeBytes) {
    return {kNoRoom, "It needs more than the " + megabytes(freeBytes, false) + " that are free."};
}

Checked<std::uint64_t> downloadLimit(std::optional<std::uint64_t> length, std::uint64_t freeBytes) {
    if (!length) return room(freeBytes);
    if (*length > room(freeBytes)) return noRoom(*length, freeBytes);
    return *length;
}

}  // namespace mirovan
