// LogTail: holds exactly the last N grapheme clusters, decided over the whole
// stream, no matter how the text was split into appends.
#include "core/LogTail.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

const std::string kAcute = "e\xCC\x81"; // e + combining acute
const std::string kThumb = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"; // thumbs up, skin tone
const std::string kFamily = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D"
                            "\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
const std::string kD = "\xF0\x9F\x87\xA9", kE = "\xF0\x9F\x87\xAA"; // regional indicators
const std::string kF = "\xF0\x9F\x87\xAB", kR = "\xF0\x9F\x87\xB7", kJ = "\xF0\x9F\x87\xAF";
const std::string kFFFD = "\xEF\xBF\xBD";

// head followed by n copies of s (built by appending: GCC 12 misfires -Wrestrict on "x" + std::string&&).
std::string times(const std::string& s, int n, std::string head = "") {
    while (n-- > 0) head += s;
    return head;
}

// Reference: one plain utf8proc pass over the whole text, no shortcuts.
std::string lastClusters(const std::string& s, std::size_t limit) {
    std::vector<std::size_t> starts;
    utf8proc_int32_t prev = -1, state = 0, cp;
    for (std::size_t i = 0; i < s.size();) {
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data()) + i,
                                        static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
        if (prev < 0 || utf8proc_grapheme_break_stateful(prev, cp, &state)) starts.push_back(i);
        prev = cp;
        i += static_cast<std::size_t>(n);
    }
    return starts.size() <= limit ? s : s.substr(starts[starts.size() - limit]);
}

TEST(LogTail, KeepsWholeClustersDecidedAcrossAppends) {
    struct Case {
        std::vector<std::string> appends;
        std::size_t limit;
        std::string text;
        std::size_t size;
    };
    const std::string a7999 = times("a", 7999);
    const Case cases[] = {
        // The cut at 8000 lands next to combining marks, emoji sequences and flags.
        {{times(kAcute, 8000, "x")}, 8000, times(kAcute, 8000), 8000},
        {{"x" + kThumb + kFamily + a7999}, 8000, kFamily + a7999, 8000},
        {{"x" + kThumb + a7999}, 8000, kThumb + a7999, 8000},
        // D E | F R | J: an odd run ends in a lone indicator; the cut falls inside the run.
        {{"a" + kD + kE + kF + kR + kJ + times("b", 7998)}, 8000, kF + kR + kJ + times("b", 7998), 8000},
        {{times("\r\n", 8000, "x")}, 8000, times("\r\n", 8000), 8000},
        // A cluster completed by a later append.
        {{times("a", 7999, "x") + "e", "\xCC\x81"}, 8000, a7999 + kAcute, 8000},
        {{"a", kD, kE, kF}, 3, "a" + kD + kE + kF, 3},
        {{"a\r", "\n"}, 2, "a\r\n", 2},
        {{"x\xF0\x9F\x91\xA8", "\xE2\x80\x8D", "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
          "\xE2\x80\x8D\xF0\x9F\x91\xA6"}, 1, kFamily, 1},
        {{"\xF0\x9F\x91\x8D", "\xF0\x9F\x8F\xBD", "!"}, 2, kThumb + "!", 2},
        // Bad input: repaired rather than kept; nothing kept at all with no room.
        {{"a\xFF" "b\xE2\x82", "\xBF" "c"}, 10, "a" + kFFFD + "b" + kFFFD + kFFFD + "c", 6},
        {{"anything"}, 0, "", 0},
    };
    for (const auto& c : cases) {
        mirovan::LogTail tail(c.limit);
        for (const auto& piece : c.appends) tail.append(piece);
        EXPECT_EQ(tail.text(), c.text);
        EXPECT_EQ(tail.size(), c.size);
    }
}

TEST(LogTail, ChunkingDoesNotChangeTheTail) {
    const std::string tokens[] = {"log line ", "\r\n", "\n", "\r", kAcute, "\xCC\x81", kThumb, kFamily,
                                  "\xE2\x80\x8D", kD, kE, "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", // Hangul L V T
                                  "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7", "\xD8\x80", "\xE6\x9D\xB1"};
    std::mt19937 rng(42);
    std::string corpus;
    std::vector<std::size_t> charStarts; // appends must carry whole characters
    while (corpus.size() < 200000) {
        const std::string& t = tokens[rng() % std::size(tokens)];
        for (std::size_t i = 0; i < t.size(); ++i)
            if ((t[i] & 0xC0) != 0x80) charStarts.push_back(corpus.size() + i);
        corpus += t;
    }
    for (std::size_t limit : {std::size_t{8000}, std::size_t{13}}) {
        mirovan::LogTail whole(limit), chunked(limit);
        whole.append(corpus);
        // Mostly a few characters per append, sometimes hundreds.
        for (std::size_t next = 0, k = 0; next < charStarts.size(); ++k) {
            const std::size_t span = rng() % 2 ? 4 : 800;
            const std::size_t end = std::min(charStarts.size(), next + 1 + rng() % span);
            const std::size_t to = end < charStarts.size() ? charStarts[end] : corpus.size();
            chunked.append(std::string_view(corpus).substr(charStarts[next], to - charStarts[next]));
            next = end;
            if (k % 50 == 0) {
                ASSERT_EQ(chunked.text(), lastClusters(corpus.substr(0, to), limit));
            }
        }
        const std::string want = lastClusters(corpus, limit);
        EXPECT_EQ(whole.text(), want);
        EXPECT_EQ(chunked.text(), want);
        EXPECT_EQ(chunked.size(), limit);
    }
}

} // namespace
