// Verifying a downloaded update and unpacking it: the fail-closed chain from the archive's
// bytes to a bundle that may be installed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "update/Refusal.h"

namespace mirovan {

struct RunningApp {
    std::optional<std::string> identifier;  // CFBundleIdentifier of the running bundle
    std::optional<std::string> team;        // ownTeam() of the running bundle
    std::int64_t current = 0;               // its build number
    std::string work;                       // the updater's scratch directory
};

// The verified bundle, inside work/<uuid>/, or why it was refused, in the words the user
// is shown. In this order, the first failure deciding the words: readable, digest, unpack
// directory, extraction, a top-level .app, identifier, team, declared version.
Checked<std::string> unpack(const std::string& archive, const std::string& sha256, std::int64_t version,
                const RunningApp& running);

}  // namespace mirovan
