// The bundle signature: a manifest of every entry of a bundle outside
// Contents/_CodeSignature/, signed with the developer's Ed25519 key. The team is the
// key's fingerprint, so only the key's holder can make bundles of that team.
#pragma once

#include <optional>
#include <string>

namespace mirovan {

// Writes a new private key file (mode 0600) and returns the team of its public key;
// nothing when the file could not be written (an existing file is never overwritten).
std::optional<std::string> makeKey(const std::string& keyFile);
// The same, saying why in `problem` when there is no team.
std::optional<std::string> makeKey(const std::string& keyFile, std::string& problem);

// Signs the bundle at `bundle` with the key in `keyFile`, replacing any earlier
// signature. The manifest carries the bundle's CFBundleIdentifier. Returns the error
// text on failure.
std::optional<std::string> signBundle(const std::string& bundle, const std::string& keyFile);

// The team of a bundle whose signature passes strict validation: the signature verifies
// with the embedded key; the bundle holds exactly the manifest's entries, each identical
// (kind, permission bits, content digest or link target); no symlink is absolute or
// leaves the bundle; the manifest's identifier equals the bundle's own. Else nothing.
std::optional<std::string> team(const std::string& bundle);

// What strict validation found: the team and the signed identifier when the bundle
// passes, otherwise the first problem met, as a sentence for the signing tool.
struct Validation {
    std::optional<std::string> team;
    std::string identifier;
    std::string problem;
};
Validation validate(const std::string& bundle);

// The team of the running bundle's key, read without validation.
std::optional<std::string> ownTeam(const std::string& bundle);

}  // namespace mirovan
