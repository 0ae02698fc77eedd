// The web view's rules at their edges: the page's messages, presses in the top strip,
// the menu bar, navigations and new windows, the main-frame detour, and recovery.
#include <glib.h>

#include "BundleKit.h"
#include "web/BridgeRule.h"
#include "web/DownloadRule.h"
#include "web/DragRule.h"
#include "web/LoneAlt.h"
#include "web/NavigationRule.h"
#include "web/RecoveryRule.h"

using namespace mirovan;
using namespace kit;

TEST(BridgeRule, NoDragKeepsFourNumberArraysAppearanceOnlyExactKeywords) {
    EXPECT_EQ(parseNoDrag("[[10,0,30,36],[200,4,24,24]]"), (std::vector<Rect>{{10, 0, 30, 36}, {200, 4, 24, 24}}));
    EXPECT_EQ(parseNoDrag("[]"), std::vector<Rect>{});
    EXPECT_EQ(parseNoDrag("[[1,2,3],[4,5,6,7],[8,9,10,11,12]]"), (std::vector<Rect>{{4, 5, 6, 7}}));
    EXPECT_EQ(parseNoDrag(" [[0.5,0.5,10.25,20]] "), (std::vector<Rect>{{0.5, 0.5, 10.25, 20}}));
    EXPECT_EQ(parseNoDrag("[[-5,1e1,-3,0]]"), (std::vector<Rect>{{-5, 10, -3, 0}}));
    for (const char* bad : {"", "not json", "{}", "{\"a\":[1,2,3,4]}", "[[1,2,\"3\",4]]", "[[1,2,3,4],5]",
                            "[[1,2,3,4]] x", "[[1,2,null,4]]", "[[true,2,3,4]]", "[[[1],2,3,4]]", "\"[[1,2,3,4]]\""})
        EXPECT_EQ(parseNoDrag(bad), std::nullopt) << bad;
    EXPECT_EQ(appearanceFor("dark"), Appearance::dark);
    EXPECT_EQ(appearanceFor("light"), Appearance::light);
    for (const char* other : {"Dark", "", "system", "light "}) EXPECT_EQ(appearanceFor(other), Appearance::system);
}

TEST(DownloadRule, NamesStayInTheirFolderFitAndOnlyAttachmentsAreSaved) {
    // clang-format off
    for (const auto& [suggested, name] : std::vector<std::pair<std::string, std::string>>{
             {"../../etc/passwd", "passwd"}, {"a\\b.txt", "b.txt"}, {"..bashrc", "bashrc"}, {"", "download"},
             {"/", "download"}, {"x\x01y\n.csv", "xy.csv"}, {"\xff.txt", "\uFFFD.txt"}})
        // clang-format on
        EXPECT_EQ(proposedName(suggested), name) << suggested;
    std::string longName = proposedName(std::string(252, 'x') + "\u00e9\u00e9");
    EXPECT_EQ(longName.size(), 254u);  // 255 bytes would cut the last é in half
    EXPECT_EQ(partTemplate("/home/u/Downloads/report.csv"), "/home/u/Downloads/.report.csv.XXXXXX.part");
    EXPECT_EQ(partTemplate("/d/" + std::string(255, 'n')).size(), std::string("/d/").size() + 255);
    // The reason stays in view however long the name.
    std::string failed = failedMessage(std::string(200, 'n') + "\u00e9\u00e9.csv", "No space left on device");
    EXPECT_LT(failed.size(), 100u);
    EXPECT_TRUE(g_utf8_validate(failed.c_str(), -1, nullptr));
    EXPECT_TRUE(failed.ends_with("\u00e9.csv: No space left on device")) << failed;
    for (const char* yes : {"attachment", " Attachment ; filename=\"a.csv\"", "ATTACHMENT;"}) EXPECT_TRUE(isAttachment(yes));
    for (const char* no : {"inline", "attachments", "", "inline; filename=attachment"}) EXPECT_FALSE(isAttachment(no));
}

TEST(DownloadRule, TheLaterChoiceOfANameWins) {
    const FileId placeholder{1, 10}, replaced{1, 11};
    EXPECT_TRUE(mayPlace(false, placeholder, placeholder));
    EXPECT_TRUE(mayPlace(false, placeholder, std::nullopt));  // the placeholder was removed: nothing to lose
    EXPECT_FALSE(mayPlace(true, placeholder, placeholder));   // chosen again by a later download
    EXPECT_FALSE(mayPlace(false, placeholder, replaced));     // another file took the name meanwhile
    EXPECT_FALSE(mayPlace(false, std::nullopt, replaced));
}

TEST(DragRule, StripBandClicksAndPageRectangles) {
    const std::vector<Rect> none, control{{150, 0, 40, 36}}, flipped{{190, 36, -40, -36}}, below{{0, 100, 50, 50}};
    using enum Press;
    using Row = std::tuple<const std::vector<Rect>*, double, double, int, Press>;
    // clang-format off
    for (const auto& [rects, x, y, clicks, press] : std::vector<Row>{
             // The 36 px strip drags, but for the band from 70 to 130; above the view still counts.
             {&none, 10, 10, 1, drag}, {&none, 200, 35.9, 1, drag}, {&none, 200, 36, 1, page},
             {&none, 69.9, 10, 1, drag}, {&none, 70, 10, 1, page}, {&none, 130, 10, 1, page},
             {&none, 130.1, 10, 1, drag}, {&none, 10, -1, 1, drag},
             // A double click zooms, other counts drag, and the band never zooms.
             {&none, 10, 10, 2, zoom}, {&none, 10, 10, 3, drag}, {&none, 10, 10, 0, drag}, {&none, 100, 10, 2, page},
             // The page's rectangles come first: minimum edges in, maximum edges out; negative
             // sizes extend left and up, so `flipped` is 150..190 x 0..36 too.
             {&control, 160, 10, 1, page}, {&control, 150, 0, 2, page}, {&control, 190, 10, 1, drag},
             {&control, 160, 36, 1, page}, {&flipped, 150, 0, 1, page}, {&flipped, 190, 10, 1, drag},
             {&below, 10, 10, 1, drag}})
        // clang-format on
        EXPECT_EQ(decidePress(*rects, x, y, clicks), press) << x << "," << y << " x" << clicks;
    EXPECT_FALSE(contains({10, 10, 0, 20}, 10, 15) || contains({10, 10, 20, 0}, 15, 10));  // empty
    EXPECT_TRUE(contains({0.5, 0.5, 10.25, 20}, 10.7, 20.4) && !contains({0.5, 0.5, 10.25, 20}, 10.75, 20.4));

    PressCount count;  // presses close in time and place count on; event times wrap around
    std::vector<int> counts;
    // clang-format off
    for (auto [time, x] : std::vector<std::pair<std::uint32_t, double>>{
             {1000, 10}, {1200, 12}, {1500, 12}, {2000, 12}, {2100, 30}, {2200, 30}, {0xFFFFFF00u, 0}, {0x10u, 0}})
        // clang-format on
        counts.push_back(count.press(time, x, 9, 400, 5));
    EXPECT_EQ(counts, (std::vector<int>{1, 2, 3, 1 /* late */, 1 /* far */, 2, 1, 2}));
}

TEST(LoneAlt, OnlyAltAloneOpensTheMenu) {
    LoneAlt alt;  // not after Alt+click or Alt+key
    alt.keyPressed(true);
    alt.keyPressed(true);  // held: the key repeats
    EXPECT_TRUE(alt.keyReleased(true));
    EXPECT_FALSE(alt.keyReleased(true));
    alt.keyPressed(true);
    alt.clicked();
    EXPECT_FALSE(alt.keyReleased(true));
    alt.keyPressed(true);
    alt.keyPressed(false);
    EXPECT_FALSE(alt.keyReleased(false) || alt.keyReleased(true));
}

TEST(NavigationRule, OnlyMainFrameWebAddressesElsewhereLeave) {
    const auto allow = Navigation::allow, leave = Navigation::openInBrowser;
    // clang-format off
    for (const auto& [url, decision] : std::vector<std::pair<const char*, Navigation>>{
             {"http://127.0.0.1:8123/any/path?q=1", allow}, {"https://127.0.0.1/", allow},
             {"http://localhost:8123/", leave} /* a name is another host */, {"http://127.0.0.2/", leave},
             {"http://[::1]:8123/", leave}, {"https://example.com/a%zz#top", leave},
             // No host, or another scheme: allowed here, whatever the view then makes of it.
             {"mailto:someone@example.com", allow}, {"file:///tmp/", allow}, {"about:blank", allow},
             {"ftp://example.com/file", allow}, {"", allow}, {"not a url", allow}})
        // clang-format on
        EXPECT_EQ(navigationDecision(url, TargetFrame::main), decision) << url;
    EXPECT_EQ(navigationDecision("https://example.com/", TargetFrame::inner), allow);
    EXPECT_EQ(navigationDecision("https://example.com/", TargetFrame::none), allow);
}

TEST(NavigationRule, NewWindowsGoToTheBrowserOrTheFileManagerElseNowhere) {
    Scratch dir("window");
    fs::create_directory(dir / "a folder");
    put(dir / "plain", "x");
    g_autofree char* folder = g_filename_to_uri((dir / "a folder").c_str(), nullptr, nullptr);  // "a%20folder"
    const std::string uri(folder), local = uri.substr(7);
    // clang-format off
    for (const auto& [url, decision] : std::vector<std::pair<std::string, NewWindow>>{
             {"http://127.0.0.1:8123/page", NewWindow::openInBrowser}, {"https://a.example/", NewWindow::openInBrowser},
             {uri, NewWindow::showInFileManager}, {"file://localhost" + local, NewWindow::showInFileManager},
             {"file://server" + local, NewWindow::nothing}, {uri + "/missing", NewWindow::nothing},
             {"file://" + dir.dir.string() + "/plain", NewWindow::nothing}, {"mailto:a@b", NewWindow::nothing},
             {"about:blank", NewWindow::nothing}, {"", NewWindow::nothing}, {"no scheme", NewWindow::nothing}})
        // clang-format on
        EXPECT_EQ(newWindowDecision(url), decision) << url;
    std::string seen;
    newWindowDecision("file:///srv/x%20y/", [&](const std::string& path) { return seen = path, true; });
    EXPECT_EQ(seen, "/srv/x y/");

    const std::string page = "http://127.0.0.1:8123/app?token=x";
    for (const char* same : {"http://127.0.0.1:8123/notebooks/a.ipynb", "HTTP://127.0.0.1:8123", "http://127.0.0.1:8123#x"})
        EXPECT_TRUE(sameServer(same, page)) << same;
    for (const char* other : {"http://127.0.0.1:8124/", "https://127.0.0.1:8123/", "http://localhost:8123/", "about:blank",
                              "", "file:///srv/", "http://127.0.0.1/"})
        EXPECT_FALSE(sameServer(other, page)) << other;
    EXPECT_TRUE(sameServer("http://a.example:80/x", "http://A.example/"));
}

TEST(NavigationRule, OnlyTheMainFramesWayOutIsDiverted) {
    const std::string local = "http://127.0.0.1:8123/", away = "http://localhost:9000/x?y=1#z";
    // The page's address is already the new one during a main-frame navigation, or the
    // request is a redirect of it. Inner frames and resources go out as made, and local or
    // hostless navigations too.
    using Row = std::tuple<std::string, std::string, std::string, bool>;
    // clang-format off
    for (const auto& [page, request, from, diverted] : std::vector<Row>{
             {away, away, "", true}, {"http://localhost:9000/x?y=1", away, "", true} /* fragments aside */,
             {local + "go", away, local + "go", true}, {local, away, "", false},
             {local, "https://example.com/img.png", local + "other", false}, {local, local, "", false},
             {"mailto:a@b", "mailto:a@b", "", false}, {"", "", "", false}})
        // clang-format on
        EXPECT_EQ(detour::divert(page, request, from).has_value(), diverted) << page << " " << request;
    auto diverted = detour::divert(away, away).value_or("");
    EXPECT_EQ(diverted.rfind("mirovan-leave:", 0), 0u);
    EXPECT_EQ(detour::original(diverted), away);
    // A page naming the scheme itself gets nothing the rule would not send anyway.
    for (std::string named : {"mirovan-leave:file%3A%2F%2F%2Fetc%2F", "mirovan-leave:http%3A%2F%2F127.0.0.1%2F",
                              "mirovan-leave:%zz", away.c_str()})
        EXPECT_FALSE(detour::original(named)) << named;
}

TEST(RecoveryRule, ReloadsOnceInThirtySecondsRetriesOnlyRealFailuresAndReplacesOnlyThePath) {
    EXPECT_TRUE(reloadAfterProcessEnd(std::nullopt, 5));  // the page's process ended
    EXPECT_FALSE(reloadAfterProcessEnd(100, 129.9));
    EXPECT_TRUE(reloadAfterProcessEnd(100, 130));
    EXPECT_TRUE(shouldRetry(LoadError::other, true));
    EXPECT_FALSE(shouldRetry(LoadError::other, false));
    EXPECT_FALSE(shouldRetry(LoadError::cancelled, true));
    EXPECT_FALSE(shouldRetry(LoadError::interruptedByPolicy, true));
    // clang-format off
    for (const auto& [page, recovery] : std::vector<std::pair<const char*, std::optional<std::string>>>{
             {"http://127.0.0.1:5123/", "http://127.0.0.1:5123/shell"},
             {"http://127.0.0.1:5123/app/index.html?token=a%20b", "http://127.0.0.1:5123/shell?token=a%20b"},
             {"http://127.0.0.1", "http://127.0.0.1/shell"}, {"https://[::1]:8443/x", "https://[::1]:8443/shell"},
             {"not a url", std::nullopt}})
        // clang-format on
        EXPECT_EQ(recoveryAddress(page), recovery) << page;
}
