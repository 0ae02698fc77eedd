// Extracting the update archive with libarchive. Every entry's name and link target is
// checked and rooted in the unpack directory here, before libarchive writes it; libarchive
// then refuses ".." and writing through a symlink on its own as a second line.
#include "update/Extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/Owned.h"
#include "update/Room.h"

namespace mirovan {

namespace {

// No ARCHIVE_EXTRACT_OWNER: a download must not pick its owner, even when we run as root.
// No ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS: every name is rooted at the (absolute) unpack
// directory before libarchive sees it, and absolute names are refused by entryParts().
constexpr int kFlags =
    ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS;
constexpr size_t kReadBlock = 256 * 1024;

using Reader = Owned<archive, archive_read_free>;
using Writer = Owned<archive, archive_write_free>;

// libarchive converts entry names into the current locale's charset; under the C locale a
// name the archive marks as UTF-8 cannot be converted and the entry loses its name. So
// extraction runs under C.UTF-8 on this thread alone (the process's locale stays as it is).
// Can go when the program is sure to run under a UTF-8 locale.
class Utf8Names {
public:
    Utf8Names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
        if (utf8_) previous_ = uselocale(utf8_);
    }
    ~Utf8Names() {
        if (!utf8_) return;
        uselocale(previous_);
        freelocale(utf8_);
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

private:
    locale_t utf8_;
    locale_t previous_ = LC_GLOBAL_LOCALE;
};

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        size_t slash = path.find('/');
        parts.push_back(path.substr(0, slash));
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    }
    return parts;
}

// The entry's path below the unpack directory, without "." and empty components; nothing
// when the name is absolute or climbs with "..".
std::optional<std::vector<std::string_view>> entryParts(std::string_view name) {
    if (name.empty() || name.front() == '/') return std::nullopt;
    std::vector<std::string_view> parts;
    for (std::string_view part : split(name)) {
        if (part == "..") return std::nullopt;
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
}

// A link target stays inside when it is relative, and its ".." components all come first
// and climb no higher than the unpack directory from the link's own folder (`depth` levels
// below it). A ".." after a name is refused even when the text alone stays inside: the name
// may itself be a link, and ".." then climbs from wherever that link leads.
bool staysInside(std::string_view target, size_t depth) {
    if (target.empty() || target.front() == '/') return false;
    bool named = false;
    size_t up = 0;
    for (std::string_view part : split(target)) {
        if (part.empty() || part == ".") continue;
        if (part != "..")
            named = true;
        else if (named || ++up > depth)
            return false;
    }
    return true;
}

enum class Verdict { write, skip, refuse };

// Checks one entry and roots its name at `root`.
Verdict admit(archive_entry* entry, const std::string& root) {
    const char* name = archive_entry_pathname(entry);
    if (!name || archive_entry_hardlink(entry)) return Verdict::refuse;
    mode_t type = archive_entry_filetype(entry);
    if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) return Verdict::refuse;
    if (archive_entry_mode(entry) & (S_ISUID | S_ISGID)) return Verdict::refuse;
    std::optional<std::vector<std::string_view>> parts = entryParts(name);
    if (!parts) return Verdict::refuse;
    if (parts->empty()) return type == AE_IFDIR ? Verdict::skip : Verdict::refuse;  // "./"
    if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        if (!target || !staysInside(target, parts->size() - 1)) return Verdict::refuse;
    }
    std::string path = root;
    for (std::string_view part : *parts) path.append("/").append(part);
    // Longer paths send libarchive down a chdir() walk, which a threaded program cannot have.
    if (path.size() >= PATH_MAX) return Verdict::refuse;
    archive_entry_copy_pathname(entry, path.c_str());
    return Verdict::write;
}

// What the archive's own bytes decide: the same archive is refused the same way again.
Refusal flawed(std::string finding) { return {std::move(finding), "", true}; }

// Copies one file's data, counting it against `budget` as it arrives.
Checked<> copyData(archive* reader, archive* writer, std::uint64_t& budget, const Refusal& full) {
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int status = archive_read_data_block(reader, &block, &size, &offset);
        if (status == ARCHIVE_EOF) return accepted();
        if (status != ARCHIVE_OK) return flawed("an entry is damaged");  // a bad CRC or a truncated entry
        if (size > budget) return full;
        budget -= size;
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK)
            return Refusal{"an entry could not be written"};
    }
}

}  // namespace

ExtractLimits extractLimits(std::uint64_t freeBytes) { return {room(freeBytes), 1'000'000, 600, outgrew(freeBytes)}; }

Checked<> extractZip(const std::string& archivePath, const std::string& into, const ExtractLimits& limits) {
    Utf8Names names;  // before any archive object exists: libarchive reads the charset once
    // The real path, so that SECURE_SYMLINKS does not trip over a link above `into`
    // (a home folder reached through a symlink, say).
    Owned<char, free> real(realpath(into.c_str(), nullptr));
    if (!real) return Refusal{"the unpack folder cannot be found"};
    const std::string root = real.get();

    Reader reader(archive_read_new());
    Writer writer(archive_write_disk_new());
    if (!reader || !writer) return Refusal{"libarchive is out of memory"};
    archive_read_support_format_zip(reader.get());
    archive_write_disk_set_options(writer.get(), kFlags);
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), kReadBlock) != ARCHIVE_OK)
        return flawed("the archive cannot be read as ZIP");

    std::uint64_t budget = limits.bytes, entries = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.seconds);
    for (;;) {
        archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) return flawed("the archive is damaged");
        if (++entries > limits.entries)
            return flawed("the archive holds more than " + std::to_string(limits.entries) + " entries");
        // Checked each entry: a slow disk is the moment's failure, not the archive's.
        if (limits.seconds > 0 && std::chrono::steady_clock::now() > deadline)
            return Refusal{"unpacking took longer than " + std::to_string(limits.seconds / 60) + " minutes"};
        // The size a ZIP declares is the archive's to choose; copyData counts what arrives.
        if (archive_entry_size_is_set(entry) && std::uint64_t(archive_entry_size(entry)) > budget) return limits.full;
        Verdict verdict = admit(entry, root);
        if (verdict == Verdict::refuse) return flawed("an entry is unsafe to unpack");
        if (verdict == Verdict::skip) continue;
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) return Refusal{"an entry could not be written"};
        if (archive_entry_filetype(entry) == AE_IFREG)
            if (auto copied = copyData(reader.get(), writer.get(), budget, limits.full); !copied) return copied;
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) return Refusal{"an entry could not be written"};
    }
    // Closing applies the directories' final modes and times.
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return Refusal{"the unpacked folders could not be finished"};
    return accepted();
}

}  // namespace mirovan
