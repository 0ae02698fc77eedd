// The manifest's canonical text and the symlink rule.
#include "update/Manifest.h"

#include <glib.h>

#include <cstdio>
#include <deque>
#include <vector>

#include <nlohmann/json.hpp>

namespace mirovan {

using nlohmann::json;

namespace {

// 2: the bundle folder, the signature folder and the public key are entries too.
constexpr int format = 2;

const char* kindName(EntryKind kind) {
    switch (kind) {
    case EntryKind::File: return "file";
    case EntryKind::Directory: return "directory";
    case EntryKind::Symlink: return "symlink";
    }
    return "";
}

std::optional<EntryKind> kindNamed(const std::string& name) {
    if (name == "file") return EntryKind::File;
    if (name == "directory") return EntryKind::Directory;
    if (name == "symlink") return EntryKind::Symlink;
    return std::nullopt;
}

std::optional<unsigned> modeFrom(const std::string& text) {
    if (text.size() != 4) return std::nullopt;
    unsigned mode = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return std::nullopt;
        mode = mode * 8 + unsigned(c - '0');
    }
    return mode;
}

bool isDigest(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::vector<std::string> components(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Relative, no empty, "." or ".." component, and outside the signature folder; or one of
// the three entries named above.
bool isCleanPath(const std::string& path) {
    if (path == rootEntry || path == signatureFolder || path == keyEntry) return true;
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    if (path.find("//") != std::string::npos) return false;
    for (const auto& part : components(path))
        if (part == "." || part == "..") return false;
    if (path == signatureFolder) return false;
    return path.compare(0, signatureFolder.size() + 1, std::string(signatureFolder) + "/") != 0;
}

json entryJson(const std::string& path, const ManifestEntry& entry) {
    json j = {{"path", path}, {"kind", kindName(entry.kind)}, {"mode", modeText(entry.mode)}};
    if (entry.kind != EntryKind::Directory) j["sha256"] = entry.sha256;
    if (entry.kind == EntryKind::File) j["size"] = entry.size;
    return j;
}

std::optional<std::pair<std::string, ManifestEntry>> entryFrom(const json& j) {
    if (!j.is_object() || !j.contains("path") || !j.contains("kind") || !j.contains("mode")) return std::nullopt;
    const json &path = j["path"], &kind = j["kind"], &mode = j["mode"];
    if (!path.is_string() || !kind.is_string() || !mode.is_string()) return std::nullopt;
    ManifestEntry entry;
    auto k = kindNamed(kind.get<std::string>());
    auto m = modeFrom(mode.get<std::string>());
    if (!k || !m || (*m & 06000u)) return std::nullopt;
    entry.kind = *k;
    entry.mode = *m;
    size_t keys = 3;
    if (entry.kind != EntryKind::Directory) {
        if (!j.contains("sha256") || !j["sha256"].is_string()) return std::nullopt;
        entry.sha256 = j["sha256"].get<std::string>();
        if (!isDigest(entry.sha256)) return std::nullopt;
        ++keys;
    }
    if (entry.kind == EntryKind::File) {
        if (!j.contains("size") || !j["size"].is_number_unsigned()) return std::nullopt;
        entry.size = j["size"].get<std::uint64_t>();
        ++keys;
    }
    if (j.size() != keys || !isCleanPath(path.get<std::string>())) return std::nullopt;
    return std::make_pair(path.get<std::string>(), entry);
}

}  // namespace

std::string modeText(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string serialize(const Manifest& manifest) {
    std::string text = "{\"format\":" + std::to_string(format) + ",\"identifier\":" + json(manifest.identifier).dump() +
                       ",\"entries\":[\n";
    size_t left = manifest.entries.size();
    for (const auto& [path, entry] : manifest.entries) {
        text += entryJson(path, entry).dump();
        text += --left ? ",\n" : "\n";
    }
    return text + "]}\n";
}

std::optional<Manifest> parseManifest(std::string_view text) {
    json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.size() != 3) return std::nullopt;
    if (!doc.contains("format") || doc["format"] != format) return std::nullopt;
    if (!doc.contains("identifier") || !doc["identifier"].is_string()) return std::nullopt;
    if (!doc.contains("entries") || !doc["entries"].is_array()) return std::nullopt;
    Manifest manifest;
    manifest.identifier = doc["identifier"].get<std::string>();
    for (const json& j : doc["entries"]) {
        auto entry = entryFrom(j);
        if (!entry || !manifest.entries.insert(std::move(*entry)).second) return std::nullopt;
    }
    // One text per manifest: order, spacing and escapes must be the ones we write.
    if (serialize(manifest) != text) return std::nullopt;
    return manifest;
}

bool staysInside(const std::map<std::string, ManifestEntry>& entries, const std::string& path) {
    auto link = entries.find(path);
    if (link == entries.end() || link->second.kind != EntryKind::Symlink) return false;
    // Resolve as the kernel would, but against the listed entries: a link met on the way
    // is replaced by its target, so "s/.." climbs from where s really leads.
    std::vector<std::string> at = components(path);
    at.pop_back();
    std::deque<std::string> pending;
    int hops = 0;
    auto follow = [&](const std::string& target) {
        if (target.empty() || target.front() == '/' || ++hops > 40) return false;
        auto parts = components(target);
        pending.insert(pending.begin(), parts.begin(), parts.end());
        return true;
    };
    if (!follow(link->second.target)) return false;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            if (at.empty()) return false;
            at.pop_back();
            continue;
        }
        at.push_back(std::move(part));
        std::string here;
        for (const auto& p : at) here += (here.empty() ? "" : "/") + p;
        auto found = entries.find(here);
        if (found != entries.end() && found->second.kind == EntryKind::Symlink) {
            at.pop_back();
            if (!follow(found->second.target)) return false;
        }
    }
    return true;
}

bool isUtf8(std::string_view text) {
    // GLib's check is as strict as the serializer's (no overlong forms, no surrogates, nothing
    // past U+10FFFF), so what passes here can always be written; a NUL cannot be in a name.
    return g_utf8_validate_len(text.data(), text.size(), nullptr);
}

std::string quotedPath(std::string_view path) {
    return json(std::string(path)).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace mirovan
