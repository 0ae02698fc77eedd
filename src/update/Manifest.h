// The signed list of a bundle's entries: its one canonical text, and the rule that keeps
// symbolic links inside the bundle. Plain values; reading the disk is Signature.cpp's job.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace mirovan {

// Where the signature lives inside a bundle. The manifest lists the folder and the public
// key in it, not the manifest and the signature themselves, which have a fixed mode.
inline constexpr std::string_view signatureFolder = "Contents/_CodeSignature";
inline constexpr std::string_view keyEntry = "Contents/_CodeSignature/public.key";
// The bundle's own folder, so that its mode is signed too.
inline constexpr std::string_view rootEntry = ".";
inline constexpr unsigned signatureFileMode = 0644;
inline constexpr unsigned signatureFolderMode = 0755;

enum class EntryKind { File, Directory, Symlink };

struct ManifestEntry {
    EntryKind kind = EntryKind::File;
    unsigned mode = 0;       // permission bits (mode & 07777)
    std::uint64_t size = 0;  // a file's length; 0 for the other kinds
    std::string sha256;      // lowercase hex of a file's bytes or a symlink's target text
    std::string target;      // a symlink's target as read from disk; never written out

    bool operator==(const ManifestEntry& o) const {
        return kind == o.kind && mode == o.mode && size == o.size && sha256 == o.sha256;
    }
};

struct Manifest {
    std::string identifier;                        // CFBundleIdentifier at signing
    std::map<std::string, ManifestEntry> entries;  // by path relative to the bundle, bytewise
};

// The text that is signed: a JSON object whose entries stand one to a line in path order,
// every key and string written one way only, so equal manifests give equal bytes.
// Every path must be valid UTF-8 (see `isUtf8`).
std::string serialize(const Manifest& manifest);
// Permission bits as the manifest writes them: four octal digits ("0755").
std::string modeText(unsigned mode);

// The manifest in `text`; nothing unless `text` is exactly what `serialize` writes for it
// (so a signed text has one meaning), its paths are relative and clean, and no entry
// carries a set-id bit.
std::optional<Manifest> parseManifest(std::string_view text);

// True when following the symlink at `path`, and every symlink it leads through, never
// climbs above the bundle's root and never meets an absolute target. `entries` must
// carry the symlinks' targets. A chain of more than 40 links counts as leaving.
bool staysInside(const std::map<std::string, ManifestEntry>& entries, const std::string& path);

// Whether a name can be written into the manifest.
bool isUtf8(std::string_view text);

// A path as a message shows it: JSON-quoted, so a newline or a stray byte stays visible.
std::string quotedPath(std::string_view path);

}  // namespace mirovan
