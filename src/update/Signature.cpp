// Verifying a bundle's signature with OpenSSL's Ed25519.
//
// Contents/_CodeSignature/ holds exactly three files: manifest.json (the text of
// Manifest.h), manifest.sig (the 64-byte Ed25519 signature over its exact bytes) and
// public.key (the signer's raw 32-byte public key).
#include "update/Signature.h"

#include <dirent.h>
#include <openssl/evp.h>

#include <cerrno>

#include "core/Bundle.h"
#include "platform/SmallFile.h"
#include "update/BundleScan.h"
#include "update/Digest.h"

namespace mirovan {

using namespace scan;

namespace {

constexpr std::size_t manifestLimit = 64u << 20;  // far above any real bundle's manifest

using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using DigestContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;

struct Signed {
    std::string manifest, signature, publicKey;
    struct stat folder, key;  // the signature folder and the key file as they were read
};

// The three files of the signature folder, and nothing else beside them.
Checked<Signed> readSigned(int root) {
    Fd folder = openSignatureFolder(root);
    if (!folder) return Refusal{"the bundle is not signed (no Contents/_CodeSignature folder)"};
    Folder listing = listingOf(folder.get());
    if (!listing) return Refusal{"the signature folder could not be listed"};
    int known = 0;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(listing.get());
        if (!e) break;
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name != manifestName && name != signatureName && name != publicKeyName)
            return Refusal{"the signature folder holds " + quotedPath(name) + ", which is not part of a signature"};
        ++known;
    }
    if (errno != 0) return Refusal{"the signature folder could not be listed"};
    if (known != 3) return Refusal{"the signature folder is incomplete"};
    struct stat st[3], seen;
    if (fstat(folder.get(), &seen) != 0) return Refusal{"the signature folder could not be read"};
    auto manifest = readSmallFile(folder.get(), manifestName, manifestLimit, false, &st[0]);
    auto signature = readSmallFile(folder.get(), signatureName, signatureSize, false, &st[1]);
    auto key = readSmallFile(folder.get(), publicKeyName, publicKeySize, false, &st[2]);
    if (!manifest || !signature || !key) return Refusal{"the signature folder holds something other than plain files"};
    for (const auto& s : {st[0], st[1]})
        if ((s.st_mode & 07777) != signatureFileMode)
            return Refusal{"the manifest or its signature does not have permissions 0644"};
    if (signature->size() != signatureSize || key->size() != publicKeySize)
        return Refusal{"the signature or its key has the wrong length"};
    return Signed{std::move(*manifest), std::move(*signature), std::move(*key), seen, st[2]};
}

bool verifies(const Signed& s) {
    Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(s.publicKey.data()), s.publicKey.size()));
    DigestContext context(EVP_MD_CTX_new());
    return key && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(s.signature.data()),
                            s.signature.size(), reinterpret_cast<const unsigned char*>(s.manifest.data()),
                            s.manifest.size()) == 1;
}

}  // namespace

Checked<SignedBundle> validate(const std::string& bundle) {
    std::string root = withoutTrailingSlash(bundle);
    Checked<Fd> dir = openBundle(root);
    if (!dir) return Refusal{dir.why()};
    Checked<Signed> s = readSigned(dir->get());
    if (!s) return Refusal{s.why()};
    if (!verifies(*s)) return Refusal{"the signature does not match the manifest"};
    auto manifest = parseManifest(s->manifest);
    if (!manifest) return Refusal{"the manifest is malformed"};
    Checked<Manifest> found = manifestOf(dir->get(), &*manifest, true);
    if (!found) return Refusal{found.why()};
    for (const auto& [path, entry] : manifest->entries)
        if (!found->entries.count(path)) return Refusal{quotedPath(path) + " was removed after signing"};
    if (auto inside = symlinksStayInside(*found); !inside) return Refusal{inside.why()};
    // Read last, so what is parsed is the Info.plist whose bytes were just checked.
    auto identifier = Bundle::at(root).identifier();
    if (identifier != manifest->identifier)
        return Refusal{"the bundle's identifier is " + (identifier ? quotedPath(*identifier) : "missing") +
                       ", but it was signed as " + quotedPath(manifest->identifier)};
    return SignedBundle{teamOf(s->publicKey), manifest->identifier};
}

Checked<std::string> team(const std::string& bundle) {
    Checked<SignedBundle> valid = validate(bundle);
    if (!valid) return Refusal{valid.why()};
    return valid->team;
}

Checked<std::string> ownTeam(const std::string& bundle) {
    Checked<Fd> dir = openBundle(withoutTrailingSlash(bundle));
    if (!dir) return Refusal{dir.why()};
    Checked<Signed> s = readSigned(dir->get());
    if (!s) return Refusal{s.why()};
    auto manifest = parseManifest(s->manifest);
    struct stat root;
    if (!verifies(*s) || !manifest || fstat(dir->get(), &root) != 0)
        return Refusal{"the running copy's signature does not hold"};
    // The key names the team only when it is the key the bundle was signed with, and
    // neither it nor the folders above it can have been swapped by another user since.
    auto matches = [&](std::string_view path, const struct stat& st, EntryKind kind, const std::string& digest) {
        auto it = manifest->entries.find(std::string(path));
        unsigned mode = st.st_mode & 07777;
        return it != manifest->entries.end() && it->second.kind == kind && it->second.mode == mode && !(mode & 022) &&
               it->second.sha256 == digest && (kind != EntryKind::File || it->second.size == std::uint64_t(st.st_size));
    };
    if (!matches(rootEntry, root, EntryKind::Directory, "") ||
        !matches(signatureFolder, s->folder, EntryKind::Directory, "") ||
        !matches(keyEntry, s->key, EntryKind::File, sha256Hex(s->publicKey)))
        return Refusal{"the running copy's key is not the one it was signed with"};
    return teamOf(s->publicKey);
}

}  // namespace mirovan
