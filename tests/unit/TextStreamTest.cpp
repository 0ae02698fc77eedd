// The server's output as text: UTF-8 with U+FFFD per maximal ill-formed subpart, and a tail
// of the last N grapheme clusters; where the pipe splits the stream changes neither.
#include <gtest/gtest.h>
#include <utf8proc.h>

#include <random>
#include <vector>

#include "core/LogTail.h"
#include "core/Utf8Stream.h"

namespace {

const std::string R = "\xEF\xBF\xBD";

// The stream's output for `s` fed in three pieces, cut at a and b.
std::string decodeSplit(std::string_view s, std::size_t a, std::size_t b) {
    mirovan::Utf8Stream u;
    std::string out = u.decode(s.substr(0, a));
    out += u.decode(s.substr(a, b - a));
    out += u.decode(s.substr(b));
    return out + u.finish();
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

TEST(Utf8Stream, EachMaximalIllFormedSubpartBecomesOneReplacementWhereverTheCuts) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        // ASCII longer than a word, then 2-, 3- and 4-byte characters including U+10FFFF.
        {"plain ascii\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xDF\xBFz", ""},
        {"a\xFF" "1234567b", "a" + R + "1234567b"},                   // a bad byte opening an ASCII word
        {"\xE2\x82" "A", R + "A"},                                     // truncated, then ASCII
        {"\xC0\xAF", R + R},                                           // overlong lead
        {"\xE0\x80\xAF\xF0\x8F\xBF\xBF", R + R + R + R + R + R + R},   // overlong 3- and 4-byte
        {"\xED\xA0\x80\xED\xBF\xBF", R + R + R + R + R + R},           // surrogates
        {"\xF4\x90\x80\x80\xF5\x80\xFF", R + R + R + R + R + R + R},   // past U+10FFFF
        {"\xF0\x9F\x98" "\xE2\x82\xAC", R + "\xE2\x82\xAC"},
        {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
    // clang-format on
    for (const auto& [in, out] : cases) {
        const std::string& want = out.empty() ? in : out;
        for (std::size_t a = 0; a <= in.size(); ++a)
            for (std::size_t b = a; b <= in.size(); ++b) ASSERT_EQ(decodeSplit(in, a, b), want) << a << "," << b;
    }
    mirovan::Utf8Stream u;  // finish() flushes an incomplete tail once, and holds nothing over
    EXPECT_EQ(u.decode("ok\xF0\x9F\x98"), "ok");
    EXPECT_EQ(u.finish(), R);
    EXPECT_EQ(u.finish(), "");
    EXPECT_EQ(u.decode("\x80"), R);
}

TEST(LogTail, RepairsBadInputAndHoldsNothingWithoutRoom) {
    mirovan::LogTail tail(10), none(0);
    for (std::string piece : {"a\xED\xA0\x80" + std::string("b\xE2\x82"), "\xBF" + std::string("c\xFF")})
        tail.append(piece), none.append(piece);
    EXPECT_EQ(tail.text(), "a" + R + R + R + "b" + R + R + "c" + R);
    EXPECT_EQ(tail.size(), 9u);
    EXPECT_EQ(none.text() + std::to_string(none.size()), "0");
}

// Against a plain reference over random text rich in clusters that span characters:
// combining marks, emoji sequences, flags, CR LF and Hangul syllables.
TEST(LogTail, ChunkingDoesNotChangeTheTail) {
    // clang-format off
    const std::string tokens[] = {
        "log line ", "\r\n", "\n", "\r", "e\xCC\x81", "\xCC\x81" /* combining acute */, "\xE2\x80\x8D" /* joiner */,
        "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD" /* skin-toned thumb */, "\xF0\x9F\x87\xA9", "\xF0\x9F\x87\xAA" /* flags */,
        "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6",
        "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8" /* Hangul L V T */, "\xE0\xA4\x95\xE0\xA5\x8D\xE0\xA4\xB7", "\xD8\x80",
        "\xE6\x9D\xB1"};
    // clang-format on
    std::mt19937 rng(42);
    for (std::size_t limit : {std::size_t{8000}, std::size_t{13}}) {
        mirovan::LogTail whole(limit), chunked(limit);
        std::string corpus;
        for (int k = 0; corpus.size() < 200000; ++k) {
            std::string piece;  // mostly a few tokens, sometimes hundreds
            unsigned span = rng() % 2 ? 4 : 400;
            for (unsigned n = 1 + rng() % span; n > 0; --n) piece += tokens[rng() % std::size(tokens)];
            corpus += piece;
            chunked.append(piece);
            if (k % 50 == 0) {
                ASSERT_EQ(chunked.text(), lastClusters(corpus, limit));
            }
        }
        whole.append(corpus);
        EXPECT_EQ(whole.text(), lastClusters(corpus, limit));
        EXPECT_EQ(chunked.text(), whole.text());
        EXPECT_EQ(chunked.size(), limit);
    }
}

}  // namespace
