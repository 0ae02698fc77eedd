// The navigation and new-window rules at their edges, and the main-frame detour.
#include "web/Policy.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace mirovan;

TEST(NavigationPolicy, OnlyMainFrameWebAddressesElsewhereLeave) {
    auto main = [](const char* url) { return navigationDecision(url, TargetFrame::main); };
    EXPECT_EQ(main("http://127.0.0.1:8123/any/path?q=1"), Navigation::allow);
    EXPECT_EQ(main("https://127.0.0.1/"), Navigation::allow);
    EXPECT_EQ(main("http://localhost:8123/"), Navigation::openInBrowser);  // a name is another host
    EXPECT_EQ(main("http://127.0.0.2/"), Navigation::openInBrowser);
    EXPECT_EQ(main("http://[::1]:8123/"), Navigation::openInBrowser);
    EXPECT_EQ(main("https://example.com/a%zz#top"), Navigation::openInBrowser);
    // No host, or another scheme: allowed here, whatever the view then makes of it.
    EXPECT_EQ(main("mailto:someone@example.com"), Navigation::allow);
    EXPECT_EQ(main("file:///tmp/"), Navigation::allow);
    EXPECT_EQ(main("about:blank"), Navigation::allow);
    EXPECT_EQ(main("ftp://example.com/file"), Navigation::allow);
    EXPECT_EQ(main(""), Navigation::allow);
    EXPECT_EQ(main("not a url"), Navigation::allow);
    // The frame tests come before the host test.
    EXPECT_EQ(navigationDecision("https://example.com/", TargetFrame::inner), Navigation::allow);
    EXPECT_EQ(navigationDecision("https://example.com/", TargetFrame::none), Navigation::allow);
}

TEST(NewWindowPolicy, WebAddressesFoldersAndTheRest) {
    auto never = [](const std::string&) { return false; };
    EXPECT_EQ(newWindowDecision("http://127.0.0.1:8123/page", never), NewWindow::openInBrowser);
    EXPECT_EQ(newWindowDecision("https://example.com/", never), NewWindow::openInBrowser);
    EXPECT_EQ(newWindowDecision("mailto:someone@example.com"), NewWindow::nothing);
    EXPECT_EQ(newWindowDecision("about:blank"), NewWindow::nothing);
    EXPECT_EQ(newWindowDecision(""), NewWindow::nothing);
    EXPECT_EQ(newWindowDecision("no scheme"), NewWindow::nothing);

    g_autofree char* dir = g_dir_make_tmp("policy-XXXXXX", nullptr);
    ASSERT_NE(dir, nullptr);
    struct Gone {
        std::string path;
        ~Gone() { std::filesystem::remove_all(path); }
    } gone{dir};
    std::string folder = std::string(dir) + "/a folder";
    std::string file = std::string(dir) + "/plain";
    std::filesystem::create_directory(folder);
    std::ofstream(file) << "x";
    auto uri = [](const std::string& path) {
        g_autofree char* u = g_filename_to_uri(path.c_str(), nullptr, nullptr);
        return std::string(u);
    };
    EXPECT_EQ(newWindowDecision(uri(folder)), NewWindow::showInFileManager);  // "a%20folder"
    EXPECT_EQ(newWindowDecision("file://localhost" + uri(folder).substr(7)), NewWindow::showInFileManager);
    EXPECT_EQ(newWindowDecision(uri(file)), NewWindow::nothing);
    EXPECT_EQ(newWindowDecision(uri(folder + "/missing")), NewWindow::nothing);
    EXPECT_EQ(newWindowDecision("file://server" + uri(folder).substr(7)), NewWindow::nothing);
    std::string seen;
    newWindowDecision("file:///srv/x%20y/", [&](const std::string& path) { return seen = path, true; });
    EXPECT_EQ(seen, "/srv/x y/");
}

TEST(Detour, OnlyTheMainFramesWayOutIsRewritten) {
    const std::string local = "http://127.0.0.1:8123/";
    const std::string away = "http://localhost:9000/x?y=1#z";
    // The page's address is already the new one: a main-frame navigation.
    auto diverted = detour::divert(away, away);
    ASSERT_TRUE(diverted);
    EXPECT_EQ(diverted->rfind("mirovan-leave:", 0), 0u);
    EXPECT_EQ(detour::original(*diverted), away);
    EXPECT_EQ(detour::divert("http://localhost:9000/x?y=1", away), diverted);  // fragments aside
    // A redirect of the main frame's request to elsewhere.
    EXPECT_TRUE(detour::divert(local + "go", away, local + "go"));
    // Inner frames and resources go out as made; local and hostless navigations too.
    EXPECT_FALSE(detour::divert(local, away));
    EXPECT_FALSE(detour::divert(local, "https://example.com/img.png", local + "other"));
    EXPECT_FALSE(detour::divert(local, local));
    EXPECT_FALSE(detour::divert("mailto:a@b", "mailto:a@b"));
    EXPECT_FALSE(detour::divert("", ""));
    // A page naming the scheme itself gets nothing the rule would not send anyway.
    EXPECT_FALSE(detour::original("mirovan-leave:file%3A%2F%2F%2Fetc%2F"));
    EXPECT_FALSE(detour::original("mirovan-leave:http%3A%2F%2F127.0.0.1%2F"));
    EXPECT_FALSE(detour::original("mirovan-leave:%zz"));
    EXPECT_FALSE(detour::original(away));
}
