// flock on a close-on-exec descriptor: the lock ends with this process however it ends,
// and no child inherits it.
#include "platform/FileLock.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>

#include "platform/Interrupted.h"

namespace mirovan {

FileLock FileLock::tryTake(const std::string& folder, const std::string& name) {
    FileLock lock;
    if (g_mkdir_with_parents(folder.c_str(), 0700) != 0) return lock;
    std::string path = folder + "/" + name;
    lock.fd_ = Fd(uninterrupted([&] { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); }));
    lock.locked_ = lock.fd_ && flock(lock.fd_.get(), LOCK_EX | LOCK_NB) == 0;
    return lock;
}

}  // namespace mirovan
