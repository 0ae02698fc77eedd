// How every step of the trust chain answers: what it found, or why it refused. A refusal
// is a sentence a person can read; no step reports failure any other way.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace mirovan {

struct Refusal {
    std::string why;
};

// A checked value, or the refusal that stands in its place. Checked<> carries no value.
template <class T = std::monostate>
class [[nodiscard]] Checked {
public:
    Checked(T value) : state_(std::move(value)) {}
    Checked(Refusal refusal) : state_(std::move(refusal)) {}

    explicit operator bool() const { return state_.index() == 0; }
    const T& operator*() const& { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    const T* operator->() const { return &std::get<0>(state_); }
    // Empty when nothing was refused.
    const std::string& why() const {
        static const std::string none;
        return state_.index() == 1 ? std::get<1>(state_).why : none;
    }

private:
    std::variant<T, Refusal> state_;
};

inline Checked<> accepted() { return std::monostate{}; }

}  // namespace mirovan
