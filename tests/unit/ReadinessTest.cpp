// The announcement, the readiness file's address and the line protocol over chunks.
#include "core/Readiness.h"

#include <gtest/gtest.h>

using namespace mirovan;

namespace {

struct File {
    std::optional<std::string> text;
    int reads = 0;
    ServerOutput::ReadFile reader() {
        return [this] {
            ++reads;
            return text;
        };
    }
};

}  // namespace

TEST(Announcement, AcceptsOnlyTheExactShape) {
    EXPECT_TRUE(isAnnouncement("Mirovan Velto on http://127.0.0.1:8000 "));
    EXPECT_TRUE(isAnnouncement("Mirovan Velto on http://127.0.0.1:1 (press Ctrl+C to quit)"));
    // Unicode decimal digits count as digits, as the expression's \d does.
    EXPECT_TRUE(isAnnouncement("Mirovan Velto on http://127.0.0.1:\u0663\u0664 x"));

    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://127.0.0.1:8000"));  // no space
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://127.0.0.1: 8000 "));
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://127.0.0.1:80a0 "));
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://127.0.0.1:8000\t"));
    EXPECT_FALSE(isAnnouncement(" Mirovan Velto on http://127.0.0.1:8000 "));
    EXPECT_FALSE(isAnnouncement("log: Mirovan Velto on http://127.0.0.1:8000 "));
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://localhost:8000 "));
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on http://127.0.0.10:8000 "));
    EXPECT_FALSE(isAnnouncement("Mirovan Velto on https://127.0.0.1:8000 "));
    EXPECT_FALSE(isAnnouncement("mirovan velto on http://127.0.0.1:8000 "));
    EXPECT_FALSE(isAnnouncement(""));
}

TEST(PageAddress, TrimsWhiteSpaceAndNeedsAnAbsoluteUrl) {
    EXPECT_EQ(pageAddress("http://127.0.0.1:5000/\n"), "http://127.0.0.1:5000/");
    EXPECT_EQ(pageAddress(" \t\r\n http://127.0.0.1:5000/app?x=1#top \u2028\u00a0\u3000"),
              "http://127.0.0.1:5000/app?x=1#top");
    EXPECT_EQ(pageAddress("file:///tmp/page.html"), "file:///tmp/page.html");

    EXPECT_EQ(pageAddress(""), std::nullopt);
    EXPECT_EQ(pageAddress(" \n\t "), std::nullopt);
    EXPECT_EQ(pageAddress("http://127.0.0.1:5000/a b"), std::nullopt);
    EXPECT_EQ(pageAddress("http://127.0.0.1:5000/<x>"), std::nullopt);
    EXPECT_EQ(pageAddress("http://127.0.0.1:5000/%zz"), std::nullopt);
    EXPECT_EQ(pageAddress("page.html"), std::nullopt);
    EXPECT_EQ(pageAddress("http://127.0.0.1:5000/\xff"), std::nullopt);  // not UTF-8
}

TEST(ServerOutput, LoadsTheFilesAddressNotTheAnnouncedOne) {
    ServerOutput out;
    File file{"http://127.0.0.1:6001/real\n"};
    auto page = out.said("starting\nMirovan Velto on http://127.0.0.1:5000 ready\n", file.reader());
    EXPECT_EQ(page, "http://127.0.0.1:6001/real");
    EXPECT_EQ(out.page(), "http://127.0.0.1:6001/real");
    EXPECT_EQ(out.partial(), "");
}

TEST(ServerOutput, RecognisesAnAnnouncementSplitAcrossPieces) {
    ServerOutput out;
    File file{"http://127.0.0.1:5000/"};
    EXPECT_EQ(out.said("Mirovan Velto on http://127.0.", file.reader()), std::nullopt);
    EXPECT_EQ(out.said("0.1:50", file.reader()), std::nullopt);
    EXPECT_EQ(file.reads, 0);  // no complete line yet
    EXPECT_EQ(out.partial(), "Mirovan Velto on http://127.0.0.1:50");
    EXPECT_EQ(out.said("00 \nmore", file.reader()), "http://127.0.0.1:5000/");
}

TEST(ServerOutput, TriesEveryAnnouncementUntilOneIsAccepted) {
    ServerOutput out;
    File file;  // missing
    const char* two = "Mirovan Velto on http://127.0.0.1:1 a\nMirovan Velto on http://127.0.0.1:2 b\n";
    EXPECT_EQ(out.said(two, file.reader()), std::nullopt);
    EXPECT_EQ(file.reads, 2);
    file.text = "   ";  // white space only is no address
    EXPECT_EQ(out.said("Mirovan Velto on http://127.0.0.1:3 c\n", file.reader()), std::nullopt);
    EXPECT_EQ(out.page(), std::nullopt);

    file.text = "http://127.0.0.1:4/";
    // The lines after the accepted one are not examined.
    EXPECT_EQ(out.said("Mirovan Velto on http://127.0.0.1:4 d\nMirovan Velto on http://127.0.0.1:5 e\n",
                       file.reader()),
              "http://127.0.0.1:4/");
    EXPECT_EQ(file.reads, 4);

    // Once the page is known, output only feeds the log.
    file.text = "http://127.0.0.1:9/";
    EXPECT_EQ(out.said("Mirovan Velto on http://127.0.0.1:9 f\n", file.reader()), std::nullopt);
    EXPECT_EQ(out.page(), "http://127.0.0.1:4/");
    EXPECT_EQ(file.reads, 4);
    EXPECT_EQ(out.partial(), "");
    EXPECT_NE(out.log().find("127.0.0.1:9 f\n"), std::string::npos);
}

TEST(ServerOutput, KeepsTextWithoutLineFeedWaiting) {
    ServerOutput out;
    File file{"http://127.0.0.1:1/"};
    out.said("Mirovan Velto on http://127.0.0.1:1 ", file.reader());
    EXPECT_EQ(file.reads, 0);
    out.said("\r\n", file.reader());  // the carriage return is just more text after the space
    EXPECT_EQ(out.page(), "http://127.0.0.1:1/");
}

TEST(ServerOutput, LogHoldsTheLastCharacters) {
    ServerOutput out;
    File file;
    std::string lots(ServerOutput::logLimit + 500, 'x');
    out.said(lots + "tail", file.reader());
    EXPECT_EQ(out.log().size(), ServerOutput::logLimit);
    EXPECT_TRUE(out.log().ends_with("xtail"));
}
