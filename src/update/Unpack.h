// Verifying a downloaded update and unpacking it: the fail-closed chain from the archive's
// bytes to a bundle that may be installed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Checked.h"

namespace mirovan {

struct RunningApp {
    std::optional<std::string> identifier;  // CFBundleIdentifier of the running bundle
    std::optional<std::string> team;        // ownTeam() of the running bundle
    std::int64_t current = 0;               // its build number
    std::string work;                       // the updater's scratch directory
};

// Empties the scratch folder, or makes it, private to this user (0700).
Checked<> makeScratch(const std::string& work);

// The verified bundle, inside work/<uuid>/, or why it was refused, in the words the user
// is shown. In this order, the first failure deciding the words: readable, digest, unpack
// directory, extraction (within ExtractLimits for the room left), a top-level .app,
// identifier, team, declared version. A refusal after the digest matched that the archive's
// bytes alone decide is lasting (Checked.h); no room, and the system failing, are not. A
// refused archive leaves nothing of its own behind in `work`.
Checked<std::string> unpack(const std::string& archive, const std::string& sha256, std::int64_t version,
                            const RunningApp& running);

// The last checks of unpack() again (identifier, team, declared version, a program that
// can be started: CFBundleExecutable a plain name of an executable in Contents/Linux), in full,
// for a bundle that has waited since: whatever was added to it or changed meanwhile is
// refused as the signature check refuses it.
Checked<> recheck(const std::string& app, std::int64_t version, const RunningApp& running);

}  // namespace mirovan
