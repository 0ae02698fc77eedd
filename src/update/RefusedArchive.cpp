// The refused-archive record: a small text file, written whole or not at all.
#include "update/RefusedArchive.h"

#include <fcntl.h>
#include <glib.h>

#include <algorithm>

#include "platform/SmallFile.h"
#include "update/Version.h"

namespace mirovan {

namespace {

// One line, and a bounded one: the words come from libarchive, OpenSSL or the system.
std::string line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    if (text.size() > 1000) text.resize(1000);
    return text;
}

bool hexDigest(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

std::string refusedText(const RefusedArchive& refused) {
    return line(refused.sha256) + "\n" + std::to_string(refused.version) + "\n" + line(refused.refusal.why) + "\n" +
           line(refused.refusal.cause) + "\n";
}

std::optional<RefusedArchive> readRefused(std::string_view text) {
    if (text.size() > refusedLimit) return std::nullopt;
    std::string_view fields[4];
    for (std::string_view& field : fields) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) return std::nullopt;
        field = text.substr(0, end);
        text.remove_prefix(end + 1);
    }
    std::int64_t version = buildNumber(fields[1]);
    if (!text.empty() || !hexDigest(fields[0]) || version <= 0 || fields[2].empty()) return std::nullopt;
    return RefusedArchive{std::string(fields[0]), version, {std::string(fields[2]), std::string(fields[3]), true}};
}

std::string refusedFile(const std::string& work) {
    g_autofree char* parent = g_path_get_dirname(work.c_str());
    return std::string(parent) + "/refused";
}

bool rememberRefused(const std::string& file, const RefusedArchive& refused) {
    std::string text = refusedText(refused);
    // g_file_set_contents writes a temporary file beside it and renames it into place.
    return g_file_set_contents_full(file.c_str(), text.data(), gssize(text.size()), G_FILE_SET_CONTENTS_CONSISTENT,
                                    0600, nullptr);
}

std::optional<RefusedArchive> recallRefused(const std::string& file) {
    auto text = readSmallFile(AT_FDCWD, file.c_str(), refusedLimit, false);
    if (!text) return std::nullopt;
    return readRefused(*text);
}

}  // namespace mirovan
