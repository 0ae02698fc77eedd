// Streaming UTF-8 repair for the server's output. Valid bytes are validated in
// place and copied in whole runs, so clean output costs one append per chunk.
#include "core/Utf8Stream.h"

#include <cstdint>
#include <cstring>

namespace mirovan {

std::string Utf8Stream::decode(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::string out;
    // Valid input maps 1:1; only ill-formed bytes grow (up to 3x), and append handles that.
    out.reserve(n + static_cast<std::size_t>(heldLen_) + utf8::kReplacement.size());

    std::size_t i = 0;
    if (heldLen_ > 0) {
        const unsigned char lead = held_[0];
        const int need = utf8::sequenceLength(lead);
        while (heldLen_ < need && i < n) {
            const unsigned char b = p[i];
            if (!(heldLen_ == 1 ? utf8::secondByteFits(lead, b) : utf8::isContinuation(b))) break;
            held_[heldLen_++] = b;
            ++i;
        }
        if (heldLen_ == need) {
            out.append(reinterpret_cast<const char*>(held_), static_cast<std::size_t>(need));
            heldLen_ = 0;
        } else if (i < n) {
            // The byte at i does not continue the sequence; it is decoded afresh below.
            out += utf8::kReplacement;
            heldLen_ = 0;
        } else {
            return out;
        }
    }

    std::size_t run = i;  // start of validated bytes not yet copied to `out`
    while (i < n) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            // Server output is mostly ASCII: skip it a word at a time.
            while (i + 8 <= n) {
                std::uint64_t w;
                std::memcpy(&w, p + i, 8);
                if (w & 0x8080808080808080ULL) break;
                i += 8;
            }
            continue;
        }
        const int len = utf8::sequenceLength(lead);
        int k = 1;
        if (len > 0) {
            while (k < len && i + k < n) {
                const unsigned char b = p[i + k];
                if (!(k == 1 ? utf8::secondByteFits(lead, b) : utf8::isContinuation(b))) break;
                ++k;
            }
            if (k == len) {
                i += static_cast<std::size_t>(len);
                continue;
            }
            if (i + k == n) {
                // Cut short by the chunk, not by a bad byte: the next read may finish it.
                out.append(bytes.data() + run, i - run);
                std::memcpy(held_, p + i, static_cast<std::size_t>(k));
                heldLen_ = k;
                return out;
            }
        }
        // Ill-formed: the maximal subpart (the k bytes that could still have
        // begun a valid sequence) becomes a single replacement character.
        out.append(bytes.data() + run, i - run);
        out += utf8::kReplacement;
        i += static_cast<std::size_t>(k);
        run = i;
    }
    out.append(bytes.data() + run, n - run);
    return out;
}

std::string Utf8Stream::finish() {
    if (heldLen_ == 0) return {};
    heldLen_ = 0;
    return std::string(utf8::kReplacement);
}

}  // namespace mirovan
