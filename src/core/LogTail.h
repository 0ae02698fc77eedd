// The last N user-perceived characters (extended grapheme clusters) the server
// wrote, so error reports can quote its output without keeping the whole log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mirovan {

class LogTail {
public:
    explicit LogTail(std::size_t limit = 8000);

    // Meant for Utf8Stream's output; anything ill-formed is replaced with U+FFFD
    // so text() stays valid UTF-8.
    void append(std::string_view utf8);
    // Exactly the last `limit` clusters of everything appended (all of it when fewer).
    const std::string& text() const { return text_; }
    // Number of clusters held.
    std::size_t size() const { return starts_.size(); }

private:
    std::size_t segment(std::string_view bytes);
    std::size_t segmentAscii(const unsigned char* p, std::size_t i, std::size_t n, std::uint64_t base);
    void markStart(std::uint64_t offset);
    void keep(std::string_view bytes);

    std::size_t limit_;
    std::string text_;
    // Stream offsets of the held clusters' starts, as a ring (oldest at head_ once
    // full). Offsets count from the first byte ever appended, so trimming text_
    // never has to rewrite them.
    std::vector<std::uint64_t> starts_;
    std::size_t head_ = 0;
    std::uint64_t textStart_ = 0;  // stream offset of text_[0]
    std::uint64_t streamEnd_ = 0;  // stream offset just past the last byte appended
    // Segmentation state carries across appends, so a boundary is decided exactly
    // as if the whole stream had arrived at once.
    std::int32_t last_ = -1;       // previous code point; -1 before the first
    std::int32_t breakState_ = 0;  // utf8proc's state; 0 is right after a boundary
};

}  // namespace mirovan
