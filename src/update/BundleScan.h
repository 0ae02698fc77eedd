// A bundle on disk as the signature sees it: the signature folder's files, and a walk
// over every other entry that yields the bundle's manifest. Shared by signing and
// verification; holds no key and makes no decision of its own.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Checked.h"
#include "platform/Owned.h"
#include "update/Manifest.h"

namespace mirovan::scan {

inline constexpr const char* manifestName = "manifest.json";
inline constexpr const char* signatureName = "manifest.sig";
inline constexpr const char* publicKeyName = "public.key";
inline constexpr std::size_t publicKeySize = 32;
inline constexpr std::size_t signatureSize = 64;

// Never follow a link, never block on a FIFO or a device, never leak into children.
inline constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
inline constexpr int fileFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

using Folder = Owned<DIR, closedir>;

// A listing of the folder open at `fd`; `fd` itself stays the caller's.
Folder listingOf(int fd);

// The uppercase hex of the first 128 bits of the public key's SHA-256.
std::string teamOf(std::string_view publicKey);

std::string withoutTrailingSlash(std::string path);

// The bundle's root folder, opened without following a link.
Checked<Fd> openBundle(const std::string& root);
Fd openSignatureFolder(int root);

// Every entry of the bundle, its own folder included, each hashed once; of the signature
// folder, the folder and its public key only, and nothing of it `withSignature` false
// (when signing, as it is about to be written anew). An entry that other users may write
// is refused. Given the signed manifest, it stops at the first entry that cannot match,
// before hashing it.
Checked<Manifest> manifestOf(int root, const Manifest* expected, bool withSignature);

// Refuses an absolute symlink, or one that leads outside the bundle.
Checked<> symlinksStayInside(const Manifest& manifest);

}  // namespace mirovan::scan
