// How anything that can fail answers: the value, or a refusal that says why in words a
// person can read and, for the log, what caused it. No other shape of failure is used.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace mirovan {

struct Refusal {
    std::string why;    // a sentence the user may be shown
    std::string cause;  // what the system said (strerror, libcurl, libarchive); may be empty
    // The same input is refused the same way every time (not a failure of the moment,
    // like the network or a full disk): worth remembering rather than trying again.
    bool lasting = false;
};

// A checked value, or the refusal that stands in its place. Checked<> carries no value.
template <class T = std::monostate>
class [[nodiscard]] Checked {
public:
    Checked(T value) : state_(std::move(value)) {}
    Checked(Refusal refusal) : state_(std::move(refusal)) {}

    explicit operator bool() const { return state_.index() == 0; }
    const T& operator*() const& { return std::get<0>(state_); }
    T& operator*() & { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    const T* operator->() const { return &std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    // The value, or none, for a caller to whom why does not matter.
    std::optional<T> value() && {
        if (state_.index() != 0) return std::nullopt;
        return std::get<0>(std::move(state_));
    }
    // A refusal equals no value.
    bool operator==(const T& value) const { return state_.index() == 0 && std::get<0>(state_) == value; }
    // Empty when nothing was refused.
    const std::string& why() const { return refusal().why; }
    const std::string& cause() const { return refusal().cause; }
    // The refusal, or an empty one when nothing was refused.
    const Refusal& refusal() const {
        static const Refusal none;
        return state_.index() == 1 ? std::get<1>(state_) : none;
    }

private:
    std::variant<T, Refusal> state_;
};

inline Checked<> accepted() { return std::monostate{}; }

}  // namespace mirovan
