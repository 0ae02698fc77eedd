// Utf8Stream: ill-formed bytes become U+FFFD per maximal subpart, and where the
// pipe happens to split the bytes never changes the result.
#include "core/Utf8Stream.h"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <random>
#include <vector>

namespace {

const std::string R = "\xEF\xBF\xBD";

std::string decodeSplit(std::string_view s, std::vector<std::size_t> cuts = {}) {
    mirovan::Utf8Stream u;
    std::string out;
    std::size_t from = 0;
    cuts.push_back(s.size());
    for (std::size_t to : cuts) {
        out += u.decode(s.substr(from, to - from));
        from = to;
    }
    out += u.finish();
    return out;
}

TEST(Utf8Stream, ValidTextSurvivesAnySplit) {
    // ASCII longer than a word, then 2-, 3- and 4-byte characters including U+10FFFF.
    const std::string text = "plain ascii run\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80x\xF4\x8F\xBF\xBF\xDF\xBFz";
    for (std::size_t a = 0; a <= text.size(); ++a)
        for (std::size_t b = a; b <= text.size(); ++b) ASSERT_EQ(decodeSplit(text, {a, b}), text) << a << "," << b;
}

TEST(Utf8Stream, IllFormedBytesBecomeOneReplacementPerMaximalSubpart) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xE2\x82" "A", R + "A"},                           // truncated, then ASCII
        {"\xC0\xAF", R + R},                                 // overlong lead
        {"\xE0\x80\xAF\xF0\x8F\xBF\xBF", R + R + R + R + R + R + R}, // overlong 3- and 4-byte
        {"\xED\xA0\x80\xED\xBF\xBF", R + R + R + R + R + R}, // surrogates
        {"\xF4\x90\x80\x80\xF5\x80\xFF", R + R + R + R + R + R + R}, // past U+10FFFF
        {"\xF0\x9F\x98" "\xE2\x82\xAC", R + "\xE2\x82\xAC"},
        {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
    for (const auto& [in, want] : cases)
        for (std::size_t cut = 0; cut <= in.size(); ++cut) EXPECT_EQ(decodeSplit(in, {cut}), want) << "cut at " << cut;
}

TEST(Utf8Stream, FinishFlushesIncompleteTailOnce) {
    mirovan::Utf8Stream u;
    EXPECT_EQ(u.decode("ok\xF0\x9F\x98"), "ok");
    EXPECT_EQ(u.finish(), R);
    EXPECT_EQ(u.finish(), "");
    EXPECT_EQ(u.decode("\x80"), R); // nothing held over from before finish()
}

TEST(Utf8Stream, RandomBytesGiveValidTextWhateverTheChunking) {
    std::mt19937 rng(1234);
    // Biased towards bytes that start, continue or break sequences.
    const unsigned char pool[] = {'a', '\n', 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2,
                                  0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int round = 0; round < 200; ++round) {
        std::string in;
        for (int i = 0; i < 300; ++i) in += static_cast<char>(pool[rng() % sizeof pool]);
        std::vector<std::size_t> cuts;
        for (std::size_t at = rng() % 5; at < in.size(); at += 1 + rng() % 6) cuts.push_back(at);
        const std::string whole = decodeSplit(in);
        ASSERT_EQ(decodeSplit(in, cuts), whole);
        // utf8proc's own strict decoder must accept every character of the output.
        utf8proc_int32_t cp;
        for (std::size_t i = 0, n; i < whole.size(); i += n) {
            const auto got = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(whole.data()) + i,
                                              static_cast<utf8proc_ssize_t>(whole.size() - i), &cp);
            ASSERT_GT(got, 0) << "ill-formed output at " << i;
            n = static_cast<std::size_t>(got);
        }
    }
}

} // namespace
