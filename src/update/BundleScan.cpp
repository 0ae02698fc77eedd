// The walk over a bundle on disk and the signature folder's files, through descriptors
// opened relative to the bundle so that nothing is followed out of it.
#include "update/BundleScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Interrupted.h"
#include "update/Digest.h"

namespace mirovan::scan {

namespace {

constexpr std::size_t teamBytes = 16;  // 128 bits of the key's SHA-256
constexpr int depthLimit = 128;        // each level holds one descriptor open
constexpr std::size_t readBuffer = 1u << 20;

using DigestContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;

// Every entry below a bundle's root but the signature folder, hashed once each. Given the
// signed manifest, it stops at the first entry that cannot match, before hashing it.
class Walk {
public:
    Walk(const Manifest* expected, bool withSignature)
        : expected_(expected), withSignature_(withSignature), buffer_(readBuffer) {}

    // The bundle's own folder is an entry too; its listing follows.
    Checked<> run(int root) {
        struct stat st;
        if (fstat(root, &st) != 0) return Refusal{"the bundle folder could not be read"};
        ManifestEntry e{EntryKind::Directory, unsigned(st.st_mode & 07777)};
        if (auto step = admit(std::string(rootEntry), e); !step) return step;
        found.entries.emplace(rootEntry, std::move(e));
        return folder(root, "", 0);
    }
    Manifest found;

private:
    Checked<> folder(int fd, const std::string& prefix, int depth) {
        if (depth > depthLimit) return Refusal{quotedPath(prefix) + " lies too deep in the bundle"};
        Folder listing = listingOf(fd);
        if (!listing) return Refusal{quotedPath(prefix) + " could not be listed"};
        std::vector<std::string> names;
        for (;;) {
            errno = 0;
            const dirent* e = readdir(listing.get());
            if (!e) break;
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
        }
        if (errno != 0) return Refusal{quotedPath(prefix) + " could not be listed"};
        listing.reset();
        for (const auto& name : names) {
            std::string path = prefix.empty() ? name : prefix + "/" + name;
            if (path == signatureFolder && !withSignature_) continue;
            // Of the signature's files only the key is an entry; the others are read,
            // with their fixed mode, where the signature is checked.
            if (prefix == signatureFolder && path != keyEntry) continue;
            if (auto step = entry(fd, name, path, depth); !step) return step;
        }
        return accepted();
    }

    // What every entry must be, and, given the manifest, what it was signed as.
    Checked<> admit(const std::string& path, const ManifestEntry& e) {
        // Anyone who may rewrite an entry could change the app, or its key, after the fact.
        if (e.kind != EntryKind::Symlink && (e.mode & 022))
            return Refusal{quotedPath(path) + " can be changed by other users (permissions " + modeText(e.mode) +
                           "); a signed bundle is writable by its owner only"};
        if (!expected_) return accepted();
        auto it = expected_->entries.find(path);
        if (it == expected_->entries.end()) return Refusal{quotedPath(path) + " was added after signing"};
        const ManifestEntry& signedAs = it->second;
        if (signedAs.kind != e.kind) return Refusal{quotedPath(path) + " is not the kind of entry that was signed"};
        if (signedAs.mode != e.mode)
            return Refusal{quotedPath(path) + " has permissions " + modeText(e.mode) + ", signed as " +
                           modeText(signedAs.mode)};
        if (signedAs.size != e.size) return Refusal{quotedPath(path) + " changed size after signing"};
        return accepted();
    }

    Checked<> entry(int dir, const std::string& name, const std::string& path, int depth) {
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Refusal{quotedPath(path) + " could not be read"};
        if (!isUtf8(name)) return Refusal{quotedPath(path) + " has a name that is not valid UTF-8"};
        ManifestEntry e;
        e.mode = st.st_mode & 07777;
        if (e.mode & 06000) return Refusal{quotedPath(path) + " has a set-user-ID or set-group-ID bit"};
        if (S_ISREG(st.st_mode)) {
            e.kind = EntryKind::File;
            e.size = std::uint64_t(st.st_size);
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = EntryKind::Directory;
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = EntryKind::Symlink;
        } else {
            return Refusal{quotedPath(path) +
                           " is a device, FIFO or socket; a bundle holds only files, folders and "
                           "symbolic links"};
        }

        if (auto step = admit(path, e); !step) return step;
        const ManifestEntry* signedAs = expected_ ? &expected_->entries.at(path) : nullptr;

        Fd sub;
        if (e.kind == EntryKind::File) {
            if (auto step = hash(dir, name, path, st, e.sha256); !step) return step;
        } else if (e.kind == EntryKind::Symlink) {
            std::string target(4096, '\0');
            ssize_t n = readlinkat(dir, name.c_str(), target.data(), target.size());
            if (n < 0 || size_t(n) >= target.size()) return Refusal{quotedPath(path) + " could not be read"};
            target.resize(size_t(n));
            e.sha256 = sha256Hex(target);
            e.target = std::move(target);
        } else {
            sub = Fd(openat(dir, name.c_str(), folderFlags));
            struct stat opened;
            if (!sub || fstat(sub.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
                return Refusal{quotedPath(path) + " could not be opened"};
        }
        if (signedAs && signedAs->sha256 != e.sha256) return Refusal{quotedPath(path) + " changed after signing"};
        found.entries.emplace(path, std::move(e));
        return sub ? folder(sub.get(), path, depth + 1) : accepted();
    }

    Checked<> hash(int dir, const std::string& name, const std::string& path, const struct stat& st,
                   std::string& digest) {
        Fd fd(openat(dir, name.c_str(), fileFlags));
        struct stat opened;
        if (!fd || fstat(fd.get(), &opened) != 0) return Refusal{quotedPath(path) + " could not be read"};
        if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
            return Refusal{quotedPath(path) + " changed while it was read"};
        posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
            return Refusal{"SHA-256 is not available"};
        std::uint64_t total = 0;
        for (;;) {
            ssize_t n = uninterrupted([&] { return read(fd.get(), buffer_.data(), buffer_.size()); });
            if (n < 0) return Refusal{quotedPath(path) + " could not be read"};
            if (n == 0) break;
            EVP_DigestUpdate(context_.get(), buffer_.data(), size_t(n));
            total += std::uint64_t(n);
        }
        if (total != std::uint64_t(st.st_size)) return Refusal{quotedPath(path) + " changed while it was read"};
        unsigned char bytes[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(context_.get(), bytes, &size);
        digest = hexText(bytes, size);
        return accepted();
    }

    const Manifest* expected_;
    bool withSignature_;
    std::vector<unsigned char> buffer_;
    DigestContext context_{EVP_MD_CTX_new()};
};

}  // namespace

// A listing of the folder open at `fd`; `fd` itself stays the caller's.
Folder listingOf(int fd) {
    Fd copy(openat(fd, ".", folderFlags));
    DIR* listing = copy ? fdopendir(copy.get()) : nullptr;
    if (listing) copy.release();
    return Folder(listing);
}

std::string teamOf(std::string_view publicKey) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(publicKey.data(), publicKey.size(), digest, &size, EVP_sha256(), nullptr);
    return hexText(digest, teamBytes, true);
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

Checked<Fd> openBundle(const std::string& root) {
    Fd fd(open(root.c_str(), folderFlags));
    if (fd) return fd;
    struct stat st;
    if (lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return Refusal{quotedPath(root) + " is a symbolic link, not a bundle folder"};
    return Refusal{quotedPath(root) + " is not a folder that can be read"};
}

Fd openSignatureFolder(int root) {
    Fd contents(openat(root, "Contents", folderFlags));
    if (!contents) return contents;
    return Fd(openat(contents.get(), "_CodeSignature", folderFlags));
}

// A small regular file's bytes, at most `limit`; nothing for anything else.
Checked<Manifest> manifestOf(int root, const Manifest* expected, bool withSignature) {
    Walk walk(expected, withSignature);
    if (auto walked = walk.run(root); !walked) return Refusal{walked.why()};
    return std::move(walk.found);
}

Checked<> symlinksStayInside(const Manifest& manifest) {
    for (const auto& [path, entry] : manifest.entries) {
        if (entry.kind != EntryKind::Symlink) continue;
        if (!entry.target.empty() && entry.target.front() == '/')
            return Refusal{quotedPath(path) + " is an absolute symbolic link"};
        if (!staysInside(manifest.entries, path))
            return Refusal{quotedPath(path) + " is a symbolic link that leads outside the bundle"};
    }
    return accepted();
}

}  // namespace mirovan::scan
