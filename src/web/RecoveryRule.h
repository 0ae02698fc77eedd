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

// Why the page's web process ended.
enum class ProcessEnd { crashed, tooMuchMemory, ended };

// What the window says of it, as the status page's title.
std::string processEndedText(ProcessEnd end);

// A page whose process ended is loaded again by itself, once: not when the last automatic
// load (seconds on a monotonic clock) was less than 30 s before this end.
bool reloadAfterProcessEnd(std::optional<double> lastAutomaticLoad, double now);

}  // namespace mirovan
