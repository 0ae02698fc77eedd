// An exclusive lock on a file, held while this object lives: one server per data folder,
// even across a copy of the app that is still ending and the next one.
#pragma once

#include <string>

#include "platform/Owned.h"

namespace mirovan {

class FileLock {
public:
    // Creates the file's folder and the file as needed; held() tells whether the lock was had.
    static FileLock tryTake(const std::string& folder, const std::string& name);
    FileLock() = default;

    bool held() const { return fd_ && locked_; }
    // False when the folder or the file cannot be made at all: nothing to wait for then.
    bool usable() const { return static_cast<bool>(fd_); }
    void release() { fd_ = Fd(); }

private:
    Fd fd_;
    bool locked_ = false;
};

}  // namespace mirovan
