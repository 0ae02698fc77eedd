// Turns the server's output pipe, read in arbitrary chunks, into valid UTF-8.
// Ill-formed bytes become U+FFFD, one per maximal subpart (as WHATWG and ICU do).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mirovan {

namespace utf8 {

// Sequence length announced by a lead byte; 0 for bytes that cannot start one
// (continuations, C0/C1 which only make overlongs, F5..FF which exceed U+10FFFF).
constexpr int sequenceLength(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF5) return 4;
    return 0;
}

// The second byte carries the extra constraints: it rules out overlongs
// (E0, F0), surrogates (ED) and code points past U+10FFFF (F4).
constexpr bool secondByteFits(unsigned char lead, unsigned char b) noexcept {
    switch (lead) {
    case 0xE0: return b >= 0xA0 && b <= 0xBF;
    case 0xED: return b >= 0x80 && b <= 0x9F;
    case 0xF0: return b >= 0x90 && b <= 0xBF;
    case 0xF4: return b >= 0x80 && b <= 0x8F;
    default: return b >= 0x80 && b <= 0xBF;
    }
}

constexpr bool isContinuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace utf8

class Utf8Stream {
public:
    // Decodes one chunk; an incomplete sequence at the end is held back for the next call.
    std::string decode(std::string_view bytes);
    // End of input: a held-back incomplete sequence becomes one U+FFFD.
    std::string finish();

private:
    // A valid but unfinished prefix (at most 3 bytes) left over from the last chunk.
    unsigned char held_[4] = {};
    int heldLen_ = 0;
};

}  // namespace mirovan
