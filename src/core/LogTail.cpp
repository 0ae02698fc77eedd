// Keeps the last N grapheme clusters of the server's output, segmenting each
// chunk once as it arrives so the cost is proportional to the new text only.
#include "core/LogTail.h"

#include "core/Utf8Stream.h"

#include <utf8proc.h>

#include <cstring>
#include <functional>

namespace mirovan {

LogTail::LogTail(std::size_t limit) : limit_(limit) {}

void LogTail::append(std::string_view utf8) {
    if (limit_ == 0) return;
    if (std::less_equal<const char*>{}(text_.data(), utf8.data()) &&
        std::less<const char*>{}(utf8.data(), text_.data() + text_.size())) {
        // A view into text() itself would be read while text_ is being rewritten.
        append(std::string(utf8));
        return;
    }
    const std::size_t valid = segment(utf8);
    keep(utf8.substr(0, valid));
    if (valid < utf8.size()) {
        // Not UTF-8 after all: repair the rest the way the output pipe would.
        Utf8Stream repair;
        std::string fixed = repair.decode(utf8.substr(valid));
        fixed += repair.finish();
        segment(fixed);
        keep(fixed);
    }
}

// Records cluster starts for `bytes` (which will sit at streamEnd_) and returns
// how many leading bytes were well-formed; it stops at the first that is not.
std::size_t LogTail::segment(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const std::uint64_t base = streamEnd_;
    std::size_t i = 0;
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80 && last_ < 0x80) {
            i = segmentAscii(p, i, n, base);
            continue;
        }
        std::int32_t cp = lead;
        int len = 1;
        if (lead >= 0x80) {
            len = utf8::sequenceLength(lead);
            if (len == 0 || i + static_cast<std::size_t>(len) > n || !utf8::secondByteFits(lead, p[i + 1])) return i;
            cp = lead & (0x7F >> len);
            for (int k = 1; k < len; ++k) {
                if (!utf8::isContinuation(p[i + k])) return i;
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
        }
        if (last_ < 0 || utf8proc_grapheme_break_stateful(last_, cp, &breakState_)) markStart(base + i);
        last_ = cp;
        i += static_cast<std::size_t>(len);
    }
    return n;
}

// Between two ASCII code points there is always a boundary except inside CR LF,
// so ASCII runs (the bulk of server output) skip utf8proc entirely. Returns the
// end of the run starting at p[i].
std::size_t LogTail::segmentAscii(const unsigned char* p, std::size_t i, std::size_t n, std::uint64_t base) {
    std::int32_t prev = last_;
    for (; i < n && p[i] < 0x80 && starts_.size() < limit_; prev = p[i++])
        if (!(p[i] == '\n' && prev == '\r')) markStart(base + i);
    // Steady state: every start overwrites the oldest. A local index saves
    // reloading head_ after each store into the ring.
    std::uint64_t* ring = starts_.data();
    std::size_t head = head_;
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    while (i < n) {
        // Eight ASCII bytes with no CR among them (or just before) are eight clusters.
        if (i + 8 <= n && head + 8 <= limit_ && prev != '\r') {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            const std::uint64_t cr = w ^ (kOnes * '\r');  // zero byte where w has a CR
            if (!(w & kHigh) && !((cr - kOnes) & ~cr & kHigh)) {
                for (std::size_t k = 0; k < 8; ++k) ring[head + k] = base + i + k;
                head = head + 8 == limit_ ? 0 : head + 8;
                prev = p[i + 7];
                i += 8;
                continue;
            }
        }
        if (p[i] >= 0x80) break;
        if (!(p[i] == '\n' && prev == '\r')) {
            ring[head] = base + i;
            if (++head == limit_) head = 0;
        }
        prev = p[i++];
    }
    head_ = head;
    last_ = prev;
    // utf8proc's state after an ASCII character depends on that character alone,
    // which is what a fresh state derives from last_ on the next call.
    breakState_ = 0;
    return i;
}

void LogTail::markStart(std::uint64_t offset) {
    if (starts_.size() < limit_) {
        starts_.push_back(offset);
        return;
    }
    starts_[head_] = offset;  // overwrites the oldest cluster, which falls out of the tail
    if (++head_ == limit_) head_ = 0;
}

// Adds `bytes` (already segmented) and drops text before the oldest held cluster.
void LogTail::keep(std::string_view bytes) {
    if (bytes.empty()) return;
    const std::uint64_t oldest = starts_[head_];
    if (oldest >= streamEnd_) {
        // Everything held before is gone: copy only the part of the chunk that stays.
        text_.assign(bytes.substr(static_cast<std::size_t>(oldest - streamEnd_)));
    } else {
        text_.erase(0, static_cast<std::size_t>(oldest - textStart_));
        text_.append(bytes);
    }
    textStart_ = oldest;
    streamEnd_ += bytes.size();
    // One huge cluster (endless combining marks) must not pin its memory forever.
    if (text_.capacity() > 2 * text_.size() + (1u << 20)) text_.shrink_to_fit();
}

}  // namespace mirovan
