// Facts about this process and its desktop session that several layers ask for.
#pragma once

#include <string>

namespace mirovan {

// The absolute path of this program (/proc/self/exe); `fallback` when it cannot be read.
std::string programPath(const std::string& fallback = "mirovan");

// Whether a session bus can be reached without GLib starting one of its own, which would
// outlive the app and hold nothing the app wants (no file manager, no other instance).
bool sessionBusReachable();

}  // namespace mirovan
