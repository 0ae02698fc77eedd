// The app's core on disk and in the server's output: bundle, launcher entry, window state,
// the server's files, command and readiness, the report when it stops, the status page.
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "BundleKit.h"
#include "core/Bundle.h"
#include "core/DesktopEntry.h"
#include "core/LauncherFiles.h"
#include "core/Readiness.h"
#include "core/ServerCommand.h"
#include "core/StatusPage.h"
#include "core/WindowState.h"

using namespace mirovan;
using namespace kit;

namespace {

std::string describe(const Bundle& b) {
    return b.root() + " | " + b.resources() + " | " + b.name() + " | " + b.identifier().value_or("none");
}

}  // namespace

TEST(Bundle, FoundFromTheProgramInContentsLinuxElseTheProgramsFolder) {
    Scratch dir("bundle");
    std::string app = (dir / "Test.app").string();
    put(app + "/Contents/Info.plist", infoPlist("org.x.Y", "<key>CFBundleName</key><string>Écrin</string>"));
    EXPECT_EQ(describe(Bundle::forExecutable(app + "/Contents/Linux/prog")),
              app + " | " + app + "/Contents/Resources | Écrin | org.x.Y");
    EXPECT_EQ(describe(Bundle::forExecutable("/opt/bin/prog")), "/opt/bin | /opt/bin | Mirovan | none");
    // A "Linux" folder not inside an .app is no bundle either.
    EXPECT_EQ(describe(Bundle::forExecutable("/x/Contents/Linux/prog")),
              "/x/Contents/Linux | /x/Contents/Linux | Mirovan | none");
    // The name is any string, an empty one included; anything else gives the default.
    // clang-format off
    for (const auto& [plist, name] : std::vector<std::pair<std::string, std::string>>{
             {infoPlist("a.b", "<key>CFBundleName</key><string></string>"), ""},
             {infoPlist("a.b", "<key>CFBundleName</key><integer>7</integer>"), "Mirovan"},
             {infoPlist("a.b"), "Mirovan"}, {"not a plist", "Mirovan"}}) {
        put(app + "/Contents/Info.plist", plist);
        EXPECT_EQ(Bundle::at(app).name(), name) << plist;
    }
    // The app's own folders are named after a plain identifier, else a plain name.
    for (const auto& [id, name, folder] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"org.x.Y", "a/b", "org.x.Y"}, {"x/../y", "Écrin", "Écrin"}, {"..", "", "Mirovan"}}) {
        put(app + "/Contents/Info.plist", infoPlist(id, "<key>CFBundleName</key><string>" + name + "</string>"));
        EXPECT_EQ(Bundle::at(app).folderName(), folder) << id;
    }
    // clang-format on
}

TEST(DesktopEntry, ExecSurvivesOddPathsGLibTakesTheEntryAndIconsGoWhereTheThemeLooks) {
    // What a launcher reads back: the key file's unescaping, then the shell-like unquoting.
    for (std::string path : {"/opt/My App.app/Contents/Linux/my app", "/o/a\"b`c$d\\e'f;g/x", "/p/plain-1.0/x",
                             " /lead/and\ttab"}) {
        std::string entry = desktopEntry({"org.example.App", "My App", path, true});
        g_autoptr(GKeyFile) keys = g_key_file_new();
        ASSERT_TRUE(g_key_file_load_from_data(keys, entry.data(), entry.size(), G_KEY_FILE_NONE, nullptr)) << entry;
        g_autofree char* exec = g_key_file_get_string(keys, "Desktop Entry", "Exec", nullptr);
        g_autofree char* tryExec = g_key_file_get_string(keys, "Desktop Entry", "TryExec", nullptr);
        g_auto(GStrv) argv = nullptr;
        ASSERT_TRUE(g_shell_parse_argv(exec, nullptr, &argv, nullptr)) << exec;
        EXPECT_EQ(std::make_tuple(std::string(argv[0]), argv[1] == nullptr, std::string(tryExec)),
                  std::make_tuple(path, true, path));
    }
    EXPECT_EQ(execArgument("/a/100%/x"), "/a/100%%/x");
    EXPECT_EQ(desktopEntry({"a.b", "", "/x", false}).find("Icon="), std::string::npos);
    // The entry as written for a bundle wherever it is: GLib loads it, and it starts the
    // bundle's program. A data folder whose path GLib could not take gets none.
    Scratch root("entry");
    for (std::string folder : {"100% \"my\" 'apps'", "caf\xe9 latin-1"}) {
        fs::path app = root / folder / "My App.app", entry = root / "data/applications/org.mirovan.Entry.desktop";
        makeBundle(app, "org.mirovan.Entry");
        refreshLauncher(Bundle::at(app), app / "Contents/Linux/prog", root / "data");
        g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new_from_filename(entry.c_str());
        ASSERT_TRUE(info) << folder;
        EXPECT_EQ(fs::canonical(g_app_info_get_executable(G_APP_INFO(info))), app / "Contents/Linux/prog");
    }
    refreshLauncher(Bundle::at(root / "caf\xe9 latin-1/My App.app"),
                    root / "caf\xe9 latin-1/My App.app/Contents/Linux/prog", root / "50% data");
    EXPECT_FALSE(fs::exists(root / "50% data/applications"));
    auto png = [](uint32_t w, uint32_t h) {
        std::string b = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
        for (uint32_t v : {w, h})
            for (int shift = 24; shift >= 0; shift -= 8) b += static_cast<char>(v >> shift & 0xff);
        return b;
    };
    EXPECT_EQ(iconPlace("a.b", "i.svg", "<svg/>"), "scalable/apps/a.b.svg");
    EXPECT_EQ(iconPlace("a.b", "i.png", png(48, 48)), "48x48/apps/a.b.png");
    for (const auto& bad : {png(50, 50), png(48, 64), std::string("GIF89a"), png(48, 48).substr(0, 20)})
        EXPECT_EQ(iconPlace("a.b", "i.png", bad), std::nullopt);
}

TEST(WindowState, RoundTripAndFallbacks) {
    Scratch dir("state");
    std::string file = WindowState::file(dir.dir.string(), "App");
    EXPECT_EQ(file, (dir / "App/window-state.ini").string());
    auto load = [&](WindowState s) { return std::make_tuple(s.width, s.height, s.maximized); };
    EXPECT_EQ(load(WindowState::load(file)), load({}));
    ASSERT_TRUE((WindowState{1000, 700, true}.save(file)));
    EXPECT_EQ(load(WindowState::load(file)), load({1000, 700, true}));
    put(file, "[main]\nwidth=12\nheight=banana\n");
    EXPECT_EQ(load(WindowState::load(file)), load({WindowState::minWidth, WindowState{}.height, false}));
}

TEST(ServerFiles, InterpreterMustBeAnExecutableFileAndScriptMustExist) {
    Scratch res("res");
    ServerFiles files = serverFiles(res.dir.string());
    EXPECT_FALSE(isComplete(files));  // nothing there
    put(res / "app/serve.py", "");
    put(res / "python/bin/python3", "#!/bin/sh\n");
    EXPECT_FALSE(isComplete(files));  // not executable
    fs::permissions(res / "python/bin/python3", fs::perms::owner_all);
    EXPECT_TRUE(isComplete(files));
    fs::remove(res / "app/serve.py");
    EXPECT_FALSE(isComplete(files));
    fs::create_directory(res / "app/serve.py");  // any kind of entry will do
    EXPECT_TRUE(isComplete(files));
    fs::remove(res / "python/bin/python3");
    fs::create_directory(res / "python/bin/python3");  // a folder is not a program, even a searchable one
    EXPECT_FALSE(isComplete(files));
}

TEST(ServerCommand, DataDirectoryArgumentsAndEnvironment) {
    EXPECT_EQ(dataDirectory("/srv/data", "/home/u", "/home/u/.local/share", "App"), "/srv/data");
    EXPECT_EQ(dataDirectory("rel/dir", "/home/u", "/x", "App"), "/home/u/rel/dir");
    EXPECT_EQ(dataDirectory("", "/home/u", "/home/u/.local/share", "App"), "/home/u/.local/share/App");
    EXPECT_EQ(dataDirectory(nullptr, "/", "/home/u/.local/share", "Mirovan"), "/home/u/.local/share/Mirovan");

    auto c = serverCommand({"/b/R/python/bin/python3", "/b/R/app/serve.py"}, "/data dir",
                           {"PATH=/bin", "MIROVAN_DATA=/old", "PYTHONDONTWRITEBYTECODE=0", "HOME=/h"});
    EXPECT_EQ(c.argv, (std::vector<std::string>{"/b/R/python/bin/python3", "-B", "/b/R/app/serve.py", "--port", "0",
                                                "--watch-stdin"}));
    EXPECT_EQ(c.directory, "/b/R/app");
    std::sort(c.environment.begin(), c.environment.end());
    EXPECT_EQ(c.environment, (std::vector<std::string>{"HOME=/h", "MIROVAN_DATA=/data dir", "PATH=/bin",
                                                       "PYTHONDONTWRITEBYTECODE=1"}));
}

TEST(ServerCommand, StoppedDetailIsTheLastThreeNonEmptyLines) {
    // clang-format off
    for (const auto& [log, detail] : std::vector<std::pair<const char*, const char*>>{
             {"", "It stopped unexpectedly."}, {"\n\n\n", "It stopped unexpectedly."}, {"only line\n\n\n", "only line"},
             {"1\n2\n\n3\n4\n5", "3\n4\n5"}, {"a\n  \nb\n", "a\n  \nb"} /* spaces are not empty */,
             {"x\r\ny\r\n", "x\r\ny\r"}})
        // clang-format on
        EXPECT_EQ(stoppedDetail(log), detail) << log;
}

TEST(Readiness, AnnouncementHasExactlyOneShape) {
    const std::string on = "Mirovan Velto on http://127.0.0.1:";
    // Unicode decimal digits count as digits, as the expression's \d does.
    for (const char* tail : {"8000 ", "1 (Ctrl+C)", "\u0663\u0664 x"}) EXPECT_TRUE(isAnnouncement(on + tail)) << tail;
    for (const std::string& line : {on + "8000", on + " 8000 ", on + "80a0 ", on + "8000\t", " " + on + "8000 ",
                                    std::string(), std::string("Mirovan Velto on http://localhost:8000 "),
                                    std::string("Mirovan Velto on http://127.0.0.10:8000 "),
                                    std::string("Mirovan Velto on https://127.0.0.1:8000 "),
                                    std::string("mirovan velto on http://127.0.0.1:8000 ")})
        EXPECT_FALSE(isAnnouncement(line)) << line;
}

TEST(Readiness, PageAddressIsTheTrimmedFileTextWhenAbsolute) {
    // clang-format off
    for (const auto& [text, address] : std::vector<std::pair<const char*, std::optional<std::string>>>{
             {"http://127.0.0.1:5000/\n", "http://127.0.0.1:5000/"},
             {" \t\r\n http://127.0.0.1:5000/app?x=1#top \u2028\u00a0\u3000", "http://127.0.0.1:5000/app?x=1#top"},
             {"file:///tmp/page.html", "file:///tmp/page.html"}, {"", std::nullopt}, {" \n\t ", std::nullopt},
             {"http://127.0.0.1:5000/a b", std::nullopt}, {"http://127.0.0.1:5000/<x>", std::nullopt},
             {"http://127.0.0.1:5000/%zz", std::nullopt}, {"page.html", std::nullopt},
             {"http://127.0.0.1:5000/\xff", std::nullopt} /* not UTF-8 */})
        // clang-format on
        EXPECT_EQ(pageAddress(text), address) << text;
}

TEST(Readiness, OutputLoadsTheFilesAddressForTheFirstAcceptedCompleteLineThenOnlyLogs) {
    ServerOutput out;
    std::optional<std::string> file;  // missing at first
    int reads = 0;
    auto said = [&](const std::string& text) { return out.said(text, [&] { return ++reads, file; }); };
    EXPECT_EQ(said("starting\nMirovan Velto on http://127.0.0.1:1 a\nMirovan Velto on http://127.0."), std::nullopt);
    EXPECT_EQ(reads, 1);  // the unfinished line is not looked at yet
    file = "   ";         // white space only is no address
    EXPECT_EQ(said("0.1:2 "), std::nullopt);
    EXPECT_EQ(out.partial(), "Mirovan Velto on http://127.0.0.1:2 ");
    EXPECT_EQ(said("\r\n"), std::nullopt);  // the carriage return is more text after the space
    EXPECT_EQ(reads, 2);
    file = "http://127.0.0.1:6001/real\n";  // the file names the page, not the line
    EXPECT_EQ(said("Mirovan Velto on http://127.0.0.1:4 d\nMirovan Velto on http://127.0.0.1:5 e\n"),
              "http://127.0.0.1:6001/real");
    EXPECT_EQ(reads, 3);  // the lines after the accepted one are not examined
    file = "http://127.0.0.1:9/";
    EXPECT_EQ(said("Mirovan Velto on http://127.0.0.1:9 f\n" + std::string(ServerOutput::logLimit, 'x') + "tail"),
              std::nullopt);
    EXPECT_EQ(out.page(), "http://127.0.0.1:6001/real");
    EXPECT_EQ(std::tie(reads, out.partial()), std::make_tuple(3, std::string()));
    EXPECT_EQ(out.log().size(), ServerOutput::logLimit);
    EXPECT_TRUE(out.log().ends_with("xtail"));
}

TEST(Readiness, OnlyTheHeadOfALongLineDecidesAndIsKept) {
    const std::string announcement = "Mirovan Velto on http://127.0.0.1:7 ";
    const std::string digits = "Mirovan Velto on http://127.0.0.1:" + std::string(ServerOutput::lineHead, '7') + " ";
    for (const auto& [head, announced] : {std::pair{announcement, true}, {digits, false}}) {
        ServerOutput out;
        EXPECT_EQ(out.said(head, [] { return std::string("http://127.0.0.1:7/"); }), std::nullopt);
        for (int i = 0; i < 64; ++i) out.said(std::string(1 << 16, 'x'), [] { return std::nullopt; });
        EXPECT_EQ(out.partial().size(), ServerOutput::lineHead);
        EXPECT_EQ(out.said("\n", [] { return std::string("http://127.0.0.1:7/"); }).has_value(), announced);
    }
}

TEST(StatusPage, TextsAreEscapedOnlyWhereTheyWouldBeMarkup) {
    EXPECT_NE(statusDocument("Starting & <b>", "").find(">Starting &amp; &lt;b></div>"), std::string::npos);
    EXPECT_EQ(escapeHtml("x &lt; y \"'>"), "x &amp;lt; y \"'>");  // ampersands first, and only & and <
    EXPECT_EQ(escapeHtml(std::string("a\0b", 3)), "a\uFFFDb");
}
