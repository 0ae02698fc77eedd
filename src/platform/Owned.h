// Owning holders for C resources: a pointer freed by its library's own function, and a
// file descriptor closed once. Every path out of a scope releases them.
#pragma once

#include <unistd.h>

#include <memory>
#include <utility>

namespace mirovan {

template <auto release>
struct ReleaseWith {
    template <class T>
    void operator()(T* p) const {
        if (p) release(p);
    }
};

// A T* that `release` frees: Owned<DIR, closedir>, Owned<EVP_PKEY, EVP_PKEY_free>, ...
template <class T, auto release>
using Owned = std::unique_ptr<T, ReleaseWith<release>>;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace mirovan
