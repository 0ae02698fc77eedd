// Making a developer key and signing a bundle with it: for the signing tool, the tests
// and the benchmark. The app itself only verifies (Signature.h).
#pragma once

#include <string>

#include "platform/Checked.h"

namespace mirovan {

// Writes a new private key file (mode 0600) and returns the team of its public key. An
// existing file is never overwritten.
Checked<std::string> makeKey(const std::string& keyFile);

// Signs the bundle at `bundle` with the key in `keyFile`, replacing any earlier
// signature in one step. The manifest carries the bundle's CFBundleIdentifier.
Checked<> signBundle(const std::string& bundle, const std::string& keyFile);

}  // namespace mirovan
