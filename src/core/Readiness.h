// The server's output as the app reads it: the bounded log, the line protocol and the
// readiness announcement that makes the page known.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/LogTail.h"

namespace mirovan {

// Whether `line` (without its line feed) starts with "Mirovan Velto on http://127.0.0.1:",
// one or more decimal digits and a space.
bool isAnnouncement(std::string_view line);

// The page address in the readiness file's text: trimmed of white space and line breaks,
// and only when it is an absolute URL.
std::optional<std::string> pageAddress(std::string_view fileText);

class ServerOutput {
public:
    static constexpr size_t logLimit = 8000;
    // How much of a line decides whether it announces readiness: the announcement's
    // words, port and space must come within this many bytes.
    static constexpr size_t lineHead = 4096;
    // Reads the readiness file; nothing when it is missing or unreadable.
    using ReadFile = std::function<std::optional<std::string>()>;

    // Takes one piece of decoded output. Returns the page address when this piece
    // completed the first accepted announcement; the caller loads it.
    std::optional<std::string> said(std::string_view text, const ReadFile& readReadiness);

    const std::string& log() const { return log_.text(); }
    // The head of the line not yet ended, at most lineHead bytes.
    const std::string& partial() const { return partial_; }
    const std::optional<std::string>& page() const { return page_; }

private:
    LogTail log_{logLimit};
    std::string partial_;
    std::optional<std::string> page_;
};

}  // namespace mirovan
