// Developer keys and bundle signing with OpenSSL's Ed25519. The signature folder is
// described in Signature.cpp.
#include "update/Signing.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "core/Bundle.h"
#include "platform/Interrupted.h"
#include "platform/SmallFile.h"
#include "update/BundleScan.h"
#include "update/Digest.h"

namespace mirovan {

using namespace scan;

namespace {

constexpr std::size_t keyFileLimit = 64u << 10;

using Key = Owned<EVP_PKEY, EVP_PKEY_free>;
using DigestContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using Memory = Owned<BIO, BIO_free>;

struct Signed {
    std::string manifest, signature, publicKey;
};

// A new file holding `bytes` with exactly `mode`; removed again if anything fails.
Checked<> writeNew(const std::string& path, std::string_view bytes, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return Refusal{quotedPath(path) + (errno == EEXIST ? " already exists" : " could not be made"),
                       std::strerror(errno)};
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, bytes);
    int error = errno;
    ok = close(fd) == 0 && ok;
    if (ok) return accepted();
    unlink(path.c_str());
    return Refusal{quotedPath(path) + " could not be written", std::strerror(error)};
}

Checked<Key> loadKey(const std::string& keyFile) {
    auto pem = readSmallFile(AT_FDCWD, keyFile.c_str(), keyFileLimit, true);
    // The reason, so the developer knows what to mend.
    if (!pem) return Refusal{"the key file " + quotedPath(keyFile) + " cannot be read: " + pem.cause()};
    if (pem->find("ENCRYPTED") != std::string::npos) {
        OPENSSL_cleanse(pem->data(), pem->size());
        return Refusal{"the key file " + quotedPath(keyFile) +
                       " is encrypted; mirovan-sign takes an unencrypted Ed25519 key (keep the file private)"};
    }
    Memory in(BIO_new_mem_buf(pem->data(), int(pem->size())));
    // No passphrase prompt: our keys are stored unencrypted, anything else is refused.
    auto noPassphrase = [](char*, int, int, void*) { return 0; };
    Key key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr) : nullptr);
    OPENSSL_cleanse(pem->data(), pem->size());
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
        return Refusal{quotedPath(keyFile) + " is not an Ed25519 private key"};
    return key;
}

std::optional<std::string> publicKeyOf(EVP_PKEY* key) {
    std::string raw(publicKeySize, '\0');
    size_t size = raw.size();
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char*>(raw.data()), &size) != 1 ||
        size != publicKeySize)
        return std::nullopt;
    return raw;
}

std::optional<std::string> signatureOf(EVP_PKEY* key, std::string_view data) {
    DigestContext context(EVP_MD_CTX_new());
    std::string signature(signatureSize, '\0');
    size_t size = signature.size();
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1 ||
        size != signatureSize)
        return std::nullopt;
    return signature;
}

// Builds the new signature folder beside the old one and swaps them in one step, so the
// bundle never holds half a signature.
Checked<> writeSignatureFolder(const std::string& root, const Signed& s) {
    namespace fs = std::filesystem;
    std::string contents = root + "/Contents";
    std::string final = contents + "/_CodeSignature";
    std::string fresh = contents + "/._CodeSignature-XXXXXX";
    if (!mkdtemp(fresh.data())) return Refusal{"could not write into " + quotedPath(contents)};
    auto fail = [&](std::string problem) -> Checked<> {
        std::error_code ignored;
        fs::remove_all(fresh, ignored);
        if (problem.empty()) return accepted();
        return Refusal{std::move(problem)};
    };
    if (!writeNew(fresh + "/" + manifestName, s.manifest, signatureFileMode) ||
        !writeNew(fresh + "/" + signatureName, s.signature, signatureFileMode) ||
        !writeNew(fresh + "/" + publicKeyName, s.publicKey, signatureFileMode) ||
        chmod(fresh.c_str(), signatureFolderMode) != 0)
        return fail("could not write the signature into " + quotedPath(contents));
    if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) == 0) {
        return fail("");  // `fresh` now holds the old signature
    }
    if (errno != ENOENT || rename(fresh.c_str(), final.c_str()) != 0)
        return fail("could not put the signature in place in " + quotedPath(contents));
    return accepted();
}

}  // namespace

Checked<std::string> makeKey(const std::string& keyFile) {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    auto publicKey = key ? publicKeyOf(key.get()) : std::nullopt;
    Memory out(BIO_new(BIO_s_mem()));
    if (!publicKey || !out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return Refusal{"could not make an Ed25519 key"};
    char* pem = nullptr;
    long size = BIO_get_mem_data(out.get(), &pem);
    Checked<> written = writeNew(keyFile, std::string_view(pem, std::size_t(size)), 0600);
    OPENSSL_cleanse(pem, std::size_t(size));
    if (!written) return written.refusal();
    return teamOf(*publicKey);
}

Checked<> signBundle(const std::string& bundle, const std::string& keyFile) {
    Checked<Key> key = loadKey(keyFile);
    if (!key) return Refusal{key.why()};
    std::string root = withoutTrailingSlash(bundle);
    Checked<Fd> dir = openBundle(root);
    if (!dir) return Refusal{dir.why()};

    Checked<Manifest> found = manifestOf(dir->get(), nullptr, false);
    if (!found) return Refusal{found.why()};
    Manifest manifest = *std::move(found);
    auto publicKey = publicKeyOf(key->get());
    if (!publicKey) return Refusal{"could not sign with " + quotedPath(keyFile)};
    // The signature folder as writeSignatureFolder makes it; the key is signed like any file.
    manifest.entries[std::string(signatureFolder)] = {EntryKind::Directory, signatureFolderMode};
    manifest.entries[std::string(keyEntry)] = {EntryKind::File, signatureFileMode, publicKey->size(),
                                               sha256Hex(*publicKey)};
    auto contents = manifest.entries.find("Contents");
    if (contents == manifest.entries.end() || contents->second.kind != EntryKind::Directory)
        return Refusal{quotedPath(root) + " has no Contents folder"};
    if (auto inside = symlinksStayInside(manifest); !inside) return inside;
    auto identifier = Bundle::at(root).identifier();
    if (!identifier || !isUtf8(*identifier))
        return Refusal{quotedPath(root) + " has no CFBundleIdentifier in Contents/Info.plist"};
    manifest.identifier = *identifier;

    Signed s;
    s.manifest = serialize(manifest);
    auto signature = signatureOf(key->get(), s.manifest);
    if (!signature) return Refusal{"could not sign with " + quotedPath(keyFile)};
    s.signature = std::move(*signature);
    s.publicKey = std::move(*publicKey);
    return writeSignatureFolder(root, s);
}

}  // namespace mirovan
