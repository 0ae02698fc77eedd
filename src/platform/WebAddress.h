// Which addresses a transfer may reach: https anywhere, plain http only on this machine.
// Anyone on the network path can rewrite plain http, so the feed and archive must not use it.
#pragma once

#include <string>

#include "platform/Checked.h"

namespace mirovan {

// Accepted for an https URL, and for an http one whose host is a loopback address
// (127.0.0.0/8, ::1, localhost: tests and local mirrors); refused with words for the user
// otherwise, for unparsable addresses and for every other protocol. The host is read by
// libcurl's own parser, so the rule judges the host libcurl connects to.
Checked<> secureAddress(const std::string& url);

}  // namespace mirovan
