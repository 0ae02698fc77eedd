// The application: launch, the one main window, the server from start to stop and the
// status page. All of it lives on the main thread. App's members are defined in App.cpp
// (launch, window, status page, commands) and AppServer.cpp (the server's life).
#pragma once

#include <adwaita.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/Bundle.h"
#include "core/Readiness.h"
#include "core/Utf8Stream.h"
#include "platform/ChildProcess.h"
#include "web/Drag.h"
#include "web/WebView.h"

namespace mirovan {

class Updates;

class App {
public:
    explicit App(Bundle bundle);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Runs the event loop until the app has terminated; returns the exit status.
    int run(int argc, char** argv);

    // CFBundleName, or "Mirovan"; looked up at every use.
    std::string name() const { return bundle_.name(); }
    const Bundle& bundle() const { return bundle_; }
    GtkApplication* application() const { return GTK_APPLICATION(application_); }
    // Info.plist options for apps that were not written for this window.
    bool ownPagesInWindow() const { return bundle_.boolean("MirovanOpenOwnPagesInWindow").value_or(false); }
    bool nativeTitleBar() const { return bundle_.string("MirovanTitleBar") == "native"; }
    // Adds a widget over the web view (window buttons, the menu's anchor).
    void addOverlay(GtkWidget* widget);
    // Shows a toast over the window; takes the toast.
    void showToast(AdwToast* toast);

    // Launch, once per process, in this order: web view, window, buttons, commands,
    // what the server has done so far (the starting page, then its page), the updater.
    // The server itself was started before, as soon as this process knew it was the
    // app's one instance.
    void launch();
    // Another launch of the app: bring the same window back.
    void reopen();
    void placeButtons();

    // Shows the status page; before the web view exists, it is kept until it does.
    void status(const std::string& title, const std::string& detail);

    void startShell();
    void shellSaid(std::string_view text);
    // The one termination path: quitting, the waiting update, the server's end of file,
    // at most 6 s of waiting, then SIGTERM. Runs once.
    void terminate();
    // terminate(), then leave the event loop.
    void quit();

    // Menu commands: the server's page again, its recovery page, an update check that
    // reports its outcome.
    void reload();
    void recovery();
    void checkForUpdates();
    void about();
    void toggleZoom();

    GtkWindow* window = nullptr;
    GtkWidget* menuButton = nullptr;  // the header bar's menu, with the native title bar
    std::unique_ptr<WebView> web;
    std::unique_ptr<ChildProcess> shell;  // holds the write end of the server's stdin
    ServerOutput output;                  // the log, the partial line and the page
    std::string data = "/";
    bool quitting = false;

private:
    // The GApplication with our handlers; `id` null for a lone, non-unique instance.
    void makeApplication(const char* id);
    void buildWindow();
    GtkWidget* withHeaderBar(GtkWidget* content);
    void addWindowButtons();
    void saveAndRestoreState();
    void saveWindowState();
    void onShellOutput();
    void onShellExit();
    // Reads what the server wrote now, at most `limit` bytes; returns how much.
    size_t readShell(size_t limit);
    void onLoadChanged(WebKitLoadEvent event);
    void showStatus(std::string document);

    Bundle bundle_;
    AdwApplication* application_ = nullptr;
    GtkWidget* overlay_ = nullptr;
    AdwToastOverlay* toasts_ = nullptr;
    std::array<GtkWidget*, 3> buttons_{};
    std::unique_ptr<Drag> drag_;
    std::unique_ptr<Updates> updates_;
    Utf8Stream decoder_;
    bool outputEnded_ = false;
    bool showingStatus_ = false;
    // A status page asked for before the web view existed.
    std::optional<std::string> pendingStatus_;
    guint saveTimer_ = 0;
    std::string iconName_ = "application-x-executable";
};

}  // namespace mirovan
