// The application: the app's one instance, its launch, and the end of its life. It owns
// the objects that each look after one concern (the server, the page, the window, the
// guard over unsaved work, the page's dialogs, downloads, updates, the menu) and wires
// them to one another. All of it lives on the main thread.
#pragma once

#include <adwaita.h>

#include <memory>
#include <vector>

#include "app/Page.h"
#include "app/ServerProcess.h"
#include "core/Bundle.h"

namespace mirovan {

class Downloads;
class Drag;
class Menu;
class NavigationPolicy;
class PageDialogs;
class PageGuard;
class Updates;
class WebView;
class Window;
struct MenuCommand;

class App {
public:
    explicit App(Bundle bundle);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // Runs the event loop until the app has terminated; returns the exit status.
    int run(int argc, char** argv);
    // Starts the server: as soon as this process knows it is the app's one instance,
    // before the toolkit initialises, so that the server's start-up overlaps it.
    void startup();

private:
    // The GApplication with our handlers; `id` null for a lone, non-unique instance.
    void makeApplication(const char* id);
    GtkApplication* application() const { return GTK_APPLICATION(application_); }
    // Launch, once per process, in this order: web view, window, buttons, commands,
    // what the server has done so far (the starting page, or its page), the updater.
    void launch();
    // A launch of the app: the first builds the window, later ones bring it back.
    void activate();
    // Another launch of the app: bring the same window back.
    void reopen();
    // The one termination path: the window's state, unfinished downloads, the waiting
    // update; then the windows go and the app's name on the bus is given up, so that a new
    // launch starts a new instance, and the server is stopped without blocking. Runs once.
    void terminate();
    // terminate(); the event loop ends once the server has.
    void quit();
    // The event loop is ending before the server has: wait for it here.
    void shutdown();
    void onServerEnded();
    std::vector<MenuCommand> commands();
    // Gives a dialog of the page Quit's shortcut, which quits at once: the page is held by
    // the dialog and could not be asked to leave.
    void allowQuit(GtkWidget* dialog);

    Bundle bundle_;
    Page page_;
    ServerProcess server_;
    AdwApplication* application_ = nullptr;
    std::unique_ptr<WebView> web_;
    std::unique_ptr<NavigationPolicy> navigation_;
    std::unique_ptr<Window> window_;
    std::unique_ptr<PageGuard> guard_;
    std::unique_ptr<PageDialogs> dialogs_;
    std::unique_ptr<Downloads> downloads_;
    std::unique_ptr<Drag> drag_;
    std::unique_ptr<Updates> updates_;
    std::unique_ptr<Menu> menu_;
    bool terminated_ = false;
    bool serverEnded_ = false;
};

}  // namespace mirovan
