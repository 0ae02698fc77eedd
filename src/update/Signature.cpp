// Signing a bundle and checking its signature: the walk over the disk, the key files, and
// SHA-256 and Ed25519 through OpenSSL's EVP interface.
//
// Contents/_CodeSignature/ holds exactly three files: manifest.json (the text of
// Manifest.h), manifest.sig (the 64-byte Ed25519 signature over its exact bytes) and
// public.key (the signer's raw 32-byte public key).
#include "update/Signature.h"

#include "core/Bundle.h"
#include "update/Digest.h"
#include "update/Manifest.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace mirovan {

namespace {

constexpr const char* manifestName = "manifest.json";
constexpr const char* signatureName = "manifest.sig";
constexpr const char* publicKeyName = "public.key";
constexpr size_t publicKeySize = 32;
constexpr size_t signatureSize = 64;
constexpr size_t teamBytes = 16;             // 128 bits of the key's SHA-256
constexpr size_t manifestLimit = 64u << 20;  // far above any real bundle's manifest
constexpr size_t keyFileLimit = 64u << 10;
constexpr int depthLimit = 128;              // each level holds one descriptor open
constexpr size_t readBuffer = 1u << 20;

// Never follow a link, never block on a FIFO or a device, never leak into children.
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr int fileFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

template <auto release>
struct Release {
    template <class T>
    void operator()(T* p) const { release(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Release<EVP_PKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Release<EVP_MD_CTX_free>>;
using Memory = std::unique_ptr<BIO, Release<BIO_free>>;
using Folder = std::unique_ptr<DIR, Release<closedir>>;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::string hex(const unsigned char* bytes, size_t size, const char* digits) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

std::string teamOf(std::string_view publicKey) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(publicKey.data(), publicKey.size(), digest, &size, EVP_sha256(), nullptr);
    return hex(digest, teamBytes, "0123456789ABCDEF");
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string modeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return text;
}

// A small regular file's bytes, at most `limit`; nothing for anything else.
std::optional<std::string> readSmall(int dir, const char* name, size_t limit, bool follow,
                                     struct stat* seen = nullptr) {
    Fd fd(openat(dir, name, follow ? (fileFlags & ~O_NOFOLLOW) : fileFlags));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        std::uint64_t(st.st_size) > limit)
        return std::nullopt;
    std::string bytes(size_t(st.st_size) + 1, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += size_t(n);
    }
    if (got > limit) return std::nullopt;
    bytes.resize(got);
    if (seen) *seen = st;
    return bytes;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

// A new file holding `bytes` with exactly `mode`; removed again if anything fails.
bool writeNew(const std::string& path, std::string_view bytes, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, bytes);
    int error = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        unlink(path.c_str());
        errno = error;
    }
    return ok;
}

// A listing of the folder open at `fd`; `fd` itself stays the caller's.
Folder listingOf(int fd) {
    Fd copy(openat(fd, ".", folderFlags));
    DIR* listing = copy ? fdopendir(copy.get()) : nullptr;
    if (listing) copy.release();
    return Folder(listing);
}

Fd openBundle(const std::string& root, std::string& problem) {
    Fd fd(open(root.c_str(), folderFlags));
    if (!fd) {
        struct stat st;
        if (lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            problem = quotedPath(root) + " is a symbolic link, not a bundle folder";
        else
            problem = quotedPath(root) + " is not a folder that can be read";
    }
    return fd;
}

Fd openSignatureFolder(int root) {
    Fd contents(openat(root, "Contents", folderFlags));
    if (!contents) return contents;
    return Fd(openat(contents.get(), "_CodeSignature", folderFlags));
}

// Every entry below a bundle's root but the signature folder, hashed once each. Given the
// signed manifest, it stops at the first entry that cannot match, before hashing it.
class Walk {
public:
    explicit Walk(const Manifest* expected) : expected_(expected), buffer_(readBuffer) {}

    std::optional<std::string> run(int root) { return folder(root, "", 0); }
    Manifest found;

private:
    std::optional<std::string> folder(int fd, const std::string& prefix, int depth) {
        if (depth > depthLimit) return quotedPath(prefix) + " lies too deep in the bundle";
        Folder listing = listingOf(fd);
        if (!listing) return quotedPath(prefix) + " could not be listed";
        std::vector<std::string> names;
        for (;;) {
            errno = 0;
            const dirent* e = readdir(listing.get());
            if (!e) break;
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        if (errno != 0) return quotedPath(prefix) + " could not be listed";
        listing.reset();
        for (const auto& name : names) {
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (path == signatureFolder) continue;
            if (auto problem = entry(fd, name, path, depth)) return problem;
        }
        return std::nullopt;
    }

    std::optional<std::string> entry(int dir, const std::string& name, const std::string& path,
                                     int depth) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return quotedPath(path) + " could not be read";
        if (!isUtf8(name)) return quotedPath(path) + " has a name that is not valid UTF-8";
        ManifestEntry e;
        e.mode = st.st_mode & 07777;
        if (e.mode & 06000) return quotedPath(path) + " has a set-user-ID or set-group-ID bit";
        if (S_ISREG(st.st_mode)) {
            e.kind = EntryKind::File;
            e.size = std::uint64_t(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = EntryKind::Directory;
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = EntryKind::Symlink;
        } else {
            return quotedPath(path) +
                   " is a device, FIFO or socket; a bundle holds only files, folders and "
                   "symbolic links";
        }

        const ManifestEntry* signedAs = nullptr;
        if (expected_) {
            auto it = expected_->entries.find(path);
            if (it == expected_->entries.end()) return quotedPath(path) + " was added after signing";
            signedAs = &it->second;
            if (signedAs->kind != e.kind)
                return quotedPath(path) + " is not the kind of entry that was signed";
            if (signedAs->mode != e.mode)
                return quotedPath(path) + " has permissions " + modeText(e.mode) + ", signed as " +
                       modeText(signedAs->mode);
            if (signedAs->size != e.size) return quotedPath(path) + " changed size after signing";
        }

        Fd sub(-1);
        if (e.kind == EntryKind::File) {
            if (auto problem = hash(dir, name, path, st, e.sha256)) return problem;
        } else if (e.kind == EntryKind::Symlink) {
            std::string target(4096, '\0');
            ssize_t n = readlinkat(dir, name.c_str(), target.data(), target.size());
            if (n < 0 || size_t(n) >= target.size()) return quotedPath(path) + " could not be read";
            target.resize(size_t(n));
            e.sha256 = sha256Hex(target);
            e.target = std::move(target);
        } else {
            sub = Fd(openat(dir, name.c_str(), folderFlags));
            struct stat opened;
            if (!sub || fstat(sub.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
                opened.st_ino != st.st_ino)
                return quotedPath(path) + " could not be opened";
        }
        if (signedAs && signedAs->sha256 != e.sha256)
            return quotedPath(path) + " changed after signing";
        found.entries.emplace(path, std::move(e));
        return sub ? folder(sub.get(), path, depth + 1) : std::nullopt;
    }

    std::optional<std::string> hash(int dir, const std::string& name, const std::string& path,
                                    const struct stat& st, std::string& digest) {
        Fd fd(openat(dir, name.c_str(), fileFlags));
        struct stat opened;
        if (!fd || fstat(fd.get(), &opened) != 0) return quotedPath(path) + " could not be read";
        if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
            return quotedPath(path) + " changed while it was read";
        posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
            return std::string("SHA-256 is not available");
        std::uint64_t total = 0;
        for (;;) {
            ssize_t n = read(fd.get(), buffer_.data(), buffer_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return quotedPath(path) + " could not be read";
            if (n == 0) break;
            EVP_DigestUpdate(context_.get(), buffer_.data(), size_t(n));
            total += std::uint64_t(n);
        }
        if (total != std::uint64_t(st.st_size)) return quotedPath(path) + " changed while it was read";
        unsigned char bytes[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(context_.get(), bytes, &size);
        digest = hex(bytes, size, "0123456789abcdef");
        return std::nullopt;
    }

    const Manifest* expected_;
    std::vector<unsigned char> buffer_;
    DigestContext context_{EVP_MD_CTX_new()};
};

std::optional<std::string> symlinkProblem(const Manifest& manifest) {
    for (const auto& [path, entry] : manifest.entries) {
        if (entry.kind != EntryKind::Symlink) continue;
        if (!entry.target.empty() && entry.target.front() == '/')
            return quotedPath(path) + " is an absolute symbolic link";
        if (!staysInside(manifest.entries, path))
            return quotedPath(path) + " is a symbolic link that leads outside the bundle";
    }
    return std::nullopt;
}

struct Signed {
    std::string manifest, signature, publicKey;
};

// The three files of the signature folder, and nothing else beside them.
std::optional<std::string> readSigned(int root, Signed& out) {
    Fd folder = openSignatureFolder(root);
    if (!folder) return std::string("the bundle is not signed (no Contents/_CodeSignature folder)");
    Folder listing = listingOf(folder.get());
    if (!listing) return std::string("the signature folder could not be listed");
    int known = 0;
    for (;;) {
        errno = 0;
        const dirent* e = readdir(listing.get());
        if (!e) break;
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        if (name != manifestName && name != signatureName && name != publicKeyName)
            return "the signature folder holds " + quotedPath(name) + ", which is not part of a signature";
        ++known;
    }
    if (errno != 0) return std::string("the signature folder could not be listed");
    if (known != 3) return std::string("the signature folder is incomplete");
    struct stat st[3];
    auto manifest = readSmall(folder.get(), manifestName, manifestLimit, false, &st[0]);
    auto signature = readSmall(folder.get(), signatureName, signatureSize, false, &st[1]);
    auto key = readSmall(folder.get(), publicKeyName, publicKeySize, false, &st[2]);
    if (!manifest || !signature || !key)
        return std::string("the signature folder holds something other than plain files");
    for (const auto& s : st)
        if (s.st_mode & 06000)
            return std::string("a file of the signature folder has a set-user-ID or set-group-ID bit");
    if (signature->size() != signatureSize || key->size() != publicKeySize)
        return std::string("the signature or its key has the wrong length");
    out = {std::move(*manifest), std::move(*signature), std::move(*key)};
    return std::nullopt;
}

bool verifies(const Signed& s) {
    Key key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(s.publicKey.data()),
        s.publicKey.size()));
    DigestContext context(EVP_MD_CTX_new());
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(),
                            reinterpret_cast<const unsigned char*>(s.signature.data()),
                            s.signature.size(),
                            reinterpret_cast<const unsigned char*>(s.manifest.data()),
                            s.manifest.size()) == 1;
}

Key loadKey(const std::string& keyFile, std::string& problem) {
    auto pem = readSmall(AT_FDCWD, keyFile.c_str(), keyFileLimit, true);
    if (!pem) {
        problem = "the key file " + quotedPath(keyFile) + " could not be read";
        return nullptr;
    }
    Memory in(BIO_new_mem_buf(pem->data(), int(pem->size())));
    // No passphrase prompt: our keys are stored unencrypted, anything else is refused.
    auto noPassphrase = [](char*, int, int, void*) { return 0; };
    Key key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr) : nullptr);
    OPENSSL_cleanse(pem->data(), pem->size());
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519) {
        problem = quotedPath(keyFile) + " is not an Ed25519 private key";
        return nullptr;
    }
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
std::optional<std::string> writeSignatureFolder(const std::string& root, const Signed& s) {
    namespace fs = std::filesystem;
    std::string contents = root + "/Contents";
    std::string final = contents + "/_CodeSignature";
    std::string fresh = contents + "/._CodeSignature-XXXXXX";
    if (!mkdtemp(fresh.data())) return "could not write into " + quotedPath(contents);
    auto fail = [&](std::string problem) {
        std::error_code ignored;
        fs::remove_all(fresh, ignored);
        return problem;
    };
    if (!writeNew(fresh + "/" + manifestName, s.manifest, 0644) ||
        !writeNew(fresh + "/" + signatureName, s.signature, 0644) ||
        !writeNew(fresh + "/" + publicKeyName, s.publicKey, 0644) || chmod(fresh.c_str(), 0755) != 0)
        return fail("could not write the signature into " + quotedPath(contents));
    if (renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) == 0) {
        fail("");  // `fresh` now holds the old signature
        return std::nullopt;
    }
    if (errno != ENOENT || rename(fresh.c_str(), final.c_str()) != 0)
        return fail("could not put the signature in place in " + quotedPath(contents));
    return std::nullopt;
}

}  // namespace

std::optional<std::string> makeKey(const std::string& keyFile, std::string& problem) {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    auto publicKey = key ? publicKeyOf(key.get()) : std::nullopt;
    Memory out(BIO_new(BIO_s_mem()));
    if (!publicKey || !out ||
        PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        problem = "could not make an Ed25519 key";
        return std::nullopt;
    }
    char* pem = nullptr;
    long size = BIO_get_mem_data(out.get(), &pem);
    bool written = writeNew(keyFile, std::string_view(pem, size_t(size)), 0600);
    int error = errno;
    OPENSSL_cleanse(pem, size_t(size));
    if (!written) {
        problem = quotedPath(keyFile) + (error == EEXIST ? " already exists"
                                                     : std::string(": ") + std::strerror(error));
        return std::nullopt;
    }
    return teamOf(*publicKey);
}

std::optional<std::string> makeKey(const std::string& keyFile) {
    std::string problem;
    return makeKey(keyFile, problem);
}

std::optional<std::string> signBundle(const std::string& bundle, const std::string& keyFile) {
    std::string problem;
    Key key = loadKey(keyFile, problem);
    if (!key) return problem;
    std::string root = withoutTrailingSlash(bundle);
    Fd dir = openBundle(root, problem);
    if (!dir) return problem;

    Walk walk(nullptr);
    if (auto p = walk.run(dir.get())) return p;
    Manifest& manifest = walk.found;
    auto contents = manifest.entries.find("Contents");
    if (contents == manifest.entries.end() || contents->second.kind != EntryKind::Directory)
        return quotedPath(root) + " has no Contents folder";
    if (auto p = symlinkProblem(manifest)) return p;
    auto identifier = Bundle::at(root).identifier();
    if (!identifier || !isUtf8(*identifier))
        return quotedPath(root) + " has no CFBundleIdentifier in Contents/Info.plist";
    manifest.identifier = *identifier;

    Signed s;
    s.manifest = serialize(manifest);
    auto signature = signatureOf(key.get(), s.manifest);
    auto publicKey = publicKeyOf(key.get());
    if (!signature || !publicKey) return std::string("could not sign with ") + quotedPath(keyFile);
    s.signature = std::move(*signature);
    s.publicKey = std::move(*publicKey);
    return writeSignatureFolder(root, s);
}

Validation validate(const std::string& bundle) {
    Validation v;
    std::string root = withoutTrailingSlash(bundle);
    Fd dir = openBundle(root, v.problem);
    if (!dir) return v;
    Signed s;
    if (auto p = readSigned(dir.get(), s)) {
        v.problem = *p;
        return v;
    }
    if (!verifies(s)) {
        v.problem = "the signature does not match the manifest";
        return v;
    }
    auto manifest = parseManifest(s.manifest);
    if (!manifest) {
        v.problem = "the manifest is malformed";
        return v;
    }
    Walk walk(&*manifest);
    if (auto p = walk.run(dir.get())) {
        v.problem = *p;
        return v;
    }
    for (const auto& [path, entry] : manifest->entries)
        if (!walk.found.entries.count(path)) {
            v.problem = quotedPath(path) + " was removed after signing";
            return v;
        }
    if (auto p = symlinkProblem(walk.found)) {
        v.problem = *p;
        return v;
    }
    // Read last, so what is parsed is the Info.plist whose bytes were just checked.
    auto identifier = Bundle::at(root).identifier();
    if (identifier != manifest->identifier) {
        v.problem = "the bundle's identifier is " + (identifier ? quotedPath(*identifier) : "missing") +
                    ", but it was signed as " + quotedPath(manifest->identifier);
        return v;
    }
    v.team = teamOf(s.publicKey);
    v.identifier = manifest->identifier;
    return v;
}

std::optional<std::string> team(const std::string& bundle) {
    return validate(bundle).team;
}

std::optional<std::string> ownTeam(const std::string& bundle) {
    std::string problem;
    Fd dir = openBundle(withoutTrailingSlash(bundle), problem);
    if (!dir) return std::nullopt;
    Fd folder = openSignatureFolder(dir.get());
    if (!folder) return std::nullopt;
    auto key = readSmall(folder.get(), publicKeyName, publicKeySize, false);
    if (!key || key->size() != publicKeySize) return std::nullopt;
    return teamOf(*key);
}

}  // namespace mirovan
