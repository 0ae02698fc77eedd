// Bringing the window back to the server's page: which failed loads are retried, and
// the recovery page's address.
#pragma once

#include <optional>
#include <string>

namespace mirovan {

enum class LoadError { cancelled, interruptedByPolicy, other };

// A failed provisional load is retried (the page, a second later) unless it was
// cancelled or interrupted by a policy decision, and only once the page is known.
bool shouldRetry(LoadError error, bool pageKnown);

// The page's address with its path replaced by "/shell"; nothing when it is no URL.
std::optional<std::string> recoveryAddress(const std::string& page);

}  // namespace mirovan
