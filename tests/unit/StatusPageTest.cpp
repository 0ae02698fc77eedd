// The status document byte for byte, and its escaping.
#include "core/StatusPage.h"

#include <gtest/gtest.h>

using namespace mirovan;

TEST(StatusPage, DocumentIsTheTemplateAroundTheTexts) {
    const std::string expected =
        "<html><head><meta name=\"color-scheme\" content=\"light dark\"></head>\n"
        "<body style=\"font:14px -apple-system;margin:0;height:100vh;display:flex;align-items:center;"
        "justify-content:center;color:#888;background:Canvas\">\n"
        "<div style=\"max-width:460px;text-align:center;white-space:pre-wrap\"><div style=\"font-size:19px;"
        "color:CanvasText;margin-bottom:8px\">Starting Mirovan\u2026</div></div></body></html>";
    EXPECT_EQ(statusDocument("Starting Mirovan\u2026", ""), expected);

    std::string doc = statusDocument("T", "D");
    EXPECT_EQ(doc.size(), 343u + 1 + 6 + 1 + 20);
    EXPECT_EQ(doc.substr(343), "T</div>D</div></body></html>");
}

TEST(StatusPage, EscapesAmpersandThenLessThanOnly) {
    EXPECT_EQ(escapeHtml("a<b & c"), "a&lt;b &amp; c");
    EXPECT_EQ(escapeHtml("x &lt; y"), "x &amp;lt; y");
    EXPECT_EQ(escapeHtml("1 < 2 > 0 \"'"), "1 &lt; 2 > 0 \"'");
    std::string doc = statusDocument("1 < 2 > 0", "one\ntwo  three");
    EXPECT_NE(doc.find(">1 &lt; 2 > 0</div>one\ntwo  three</div>"), std::string::npos);
}
