// Timestamps of the app's milestones on standard error, for the benchmark and for tests
// that must wait for a milestone; silent unless MIROVAN_TRACE is set.
#pragma once

namespace mirovan {

// Writes "mirovan-trace <CLOCK_MONOTONIC microseconds> <event>" when tracing is on.
void trace(const char* event);

}  // namespace mirovan
