// Checking a bundle's signature: a manifest of every entry of the bundle outside
// Contents/_CodeSignature/, signed with the developer's Ed25519 key. The team is the
// key's fingerprint, so only the key's holder can make bundles of that team. Signing
// lives in Signing.h, apart, so the app carries no signing code.
#pragma once

#include <string>

#include "platform/Checked.h"

namespace mirovan {

struct SignedBundle {
    std::string team;        // the signer's team
    std::string identifier;  // the CFBundleIdentifier it was signed with
};

// Strict validation: the signature verifies with the embedded key; the bundle holds
// exactly the manifest's entries, each identical (kind, permission bits, content digest
// or link target); no symlink is absolute or leaves the bundle; the manifest's identifier
// equals the bundle's own. The refusal names the first problem met.
Checked<SignedBundle> validate(const std::string& bundle);

// The team of a bundle that passes validate().
Checked<std::string> team(const std::string& bundle);

// The team of the running bundle's key, read without validation.
Checked<std::string> ownTeam(const std::string& bundle);

}  // namespace mirovan
