// The app's one instance, its launch and its end.
#include "app/App.h"

#include <glib-unix.h>

#include <csignal>

#include "app/Bridge.h"
#include "app/Downloads.h"
#include "app/Menu.h"
#include "app/Navigation.h"
#include "app/PageDialogs.h"
#include "app/PageGuard.h"
#include "app/Recovery.h"
#include "app/Updates.h"
#include "app/Window.h"
#include "core/LauncherFiles.h"
#include "core/Trace.h"
#include "platform/Compat.h"
#include "platform/Session.h"
#include "web/Drag.h"
#include "web/WebView.h"

namespace mirovan {

// An AdwApplication that starts the server at the top of "startup": that runs in the app's
// one instance only, right after the single-instance registration, and before GTK and
// libadwaita initialise (display, GL, style sheets), so the server's start-up overlaps all
// of that. A handler of the signal would run only after the toolkit's own.
struct MirovanApplication {
    AdwApplication parent;
};
struct MirovanApplicationClass {
    AdwApplicationClass parent;
};
G_DEFINE_TYPE(MirovanApplication, mirovan_application, ADW_TYPE_APPLICATION)

static void mirovan_application_startup(GApplication* application) {
    if (auto* app = static_cast<App*>(g_object_get_data(G_OBJECT(application), "mirovan-app"))) app->startup();
    G_APPLICATION_CLASS(mirovan_application_parent_class)->startup(application);
}

static void mirovan_application_class_init(MirovanApplicationClass* type) {
    G_APPLICATION_CLASS(type)->startup = mirovan_application_startup;
}

static void mirovan_application_init(MirovanApplication*) {}

App::App(Bundle bundle)
    : bundle_(std::move(bundle)),
      page_(bundle_),
      server_(bundle_, {[this](const std::string& page) { page_.ready(page); },
                        [this](const std::string& title, const std::string& detail) { page_.status(title, detail); }}) {
}

App::~App() = default;

int App::run(int argc, char** argv) {
    auto id = bundle_.identifier();
    bool valid = id && g_application_id_is_valid(id->c_str());
    // The program's name is the app's identity: the window's class, which docks match
    // with the launcher entry of the same name.
    if (valid) g_set_prgname(id->c_str());
    bool unique = valid && sessionBusReachable();
    makeApplication(unique ? id->c_str() : nullptr);
    // Registered here rather than in g_application_run so that a bus that turns out
    // unusable still leaves a lone instance; "startup" may fire inside this call.
    if (unique && !g_application_register(G_APPLICATION(application_), nullptr, nullptr)) {
        g_object_unref(application_);
        makeApplication(nullptr);
    }
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        g_unix_signal_add(
            signal,
            +[](gpointer self) -> gboolean {
                static_cast<App*>(self)->quit();
                return G_SOURCE_REMOVE;
            },
            this);
    // The app takes no arguments of its own; GApplication would refuse files.
    (void)argc;
    return g_application_run(G_APPLICATION(application_), 1, argv);
}

void App::startup() { server_.start(); }

void App::makeApplication(const char* id) {
    application_ = ADW_APPLICATION(g_object_new(mirovan_application_get_type(), "application-id", id, "flags",
                                                id ? G_APPLICATION_DEFAULT_FLAGS : G_APPLICATION_NON_UNIQUE, nullptr));
    g_object_set_data(G_OBJECT(application_), "mirovan-app", this);
    g_signal_connect(application_, "activate",
                     G_CALLBACK(+[](GApplication*, gpointer self) { static_cast<App*>(self)->activate(); }), this);
    g_signal_connect(application_, "shutdown",
                     G_CALLBACK(+[](GApplication*, gpointer self) { static_cast<App*>(self)->shutdown(); }), this);
}

void App::activate() {
    if (terminated_) return;  // a launch that reached us before the name was given up
    if (window_)
        reopen();
    else
        launch();
}

void App::launch() {
    trace("launch");
    compat::report();
    // One store per app, named after its identifier, so that two apps never share cookies.
    std::string folder = bundle_.folderName() + "/webkit";
    g_autofree char* store = g_build_filename(g_get_user_data_dir(), folder.c_str(), nullptr);
    g_autofree char* cache = g_build_filename(g_get_user_cache_dir(), folder.c_str(), nullptr);
    web_ = std::make_unique<WebView>(store, cache);
    navigation_ = std::make_unique<NavigationPolicy>(
        *web_, page_, bundle_, [this](std::function<void()> command) { guard_->leavePage(std::move(command)); });
    // The first load starts WebKit's web process, which then comes up while the window is
    // built and the server starts. A readiness line already waiting in the pipe counts now:
    // the page is then loaded straight away, with no starting page before it.
    server_.catchUp();
    page_.attach(*web_);
    window_ = std::make_unique<Window>(application(), bundle_, web_->widget());
    guard_ = std::make_unique<PageGuard>(*web_, *window_);
    dialogs_ =
        std::make_unique<PageDialogs>(*web_, *window_, *guard_, [this](GtkWidget* dialog) { allowQuit(dialog); });
    downloads_ = std::make_unique<Downloads>(*web_, *window_);
    // With the native title bar the header bar moves the window; the page's own strip does not.
    if (!window_->menuButton())
        drag_ = std::make_unique<Drag>(*web_, window_->gtk(), [this] { window_->toggleZoom(); });
    connectBridge(*web_);
    connectLoadRecovery(*web_, page_);
    updates_ = std::make_unique<Updates>(
        bundle_, [this] { return window_->gtk(); },
        [this](std::function<void()> command) { guard_->leavePage(std::move(command)); }, [this] { quit(); });
    menu_ = std::make_unique<Menu>(application(), *window_, bundle_.name(), commands());
    // Keys reach the page first only while it can answer: a page whose process is gone or
    // hung would never hand them back, and no shortcut would act.
    guard_->watch([this] { compat::pageKeysFirst(window_->gtk(), guard_->canAnswer()); });

    updates_->start();
    // After the first frames: the launcher entry is not needed to show the page.
    g_idle_add_full(
        G_PRIORITY_LOW,
        +[](gpointer self) -> gboolean {
            refreshLauncher(static_cast<App*>(self)->bundle_, programPath(), g_get_user_data_dir());
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
}

std::vector<MenuCommand> App::commands() {
    auto editing = [this](const char* command) {
        return [this, command] { webkit_web_view_execute_editing_command(web_->view(), command); };
    };
    return {
        {"about", [this] { window_->about(); }},
        {"check-for-updates", [this] { updates_->check(false); }},
        {"hide", [this] { window_->hide(); }},
        {"quit", [this] { guard_->leavePage([this] { quit(); }); }},
        {"undo", editing(WEBKIT_EDITING_COMMAND_UNDO)},
        {"redo", editing(WEBKIT_EDITING_COMMAND_REDO)},
        {"cut", editing(WEBKIT_EDITING_COMMAND_CUT)},
        {"copy", editing(WEBKIT_EDITING_COMMAND_COPY)},
        {"paste", editing(WEBKIT_EDITING_COMMAND_PASTE)},
        {"select-all", editing(WEBKIT_EDITING_COMMAND_SELECT_ALL)},
        {"reload", [this] { guard_->leavePage([this] { page_.reload(); }); }},
        {"recovery", [this] { guard_->leavePage([this] { page_.recovery(); }); }},
        {"minimize", [this] { window_->minimize(); }},
        {"zoom", [this] { window_->toggleZoom(); }},
        {"close", [this] { window_->close(); }},
    };
}

void App::allowQuit(GtkWidget* dialog) {
    addQuitShortcut(application(), dialog,
                    gtk_callback_action_new(
                        +[](GtkWidget*, GVariant*, gpointer self) -> gboolean {
                            static_cast<App*>(self)->quit();
                            return TRUE;
                        },
                        this, nullptr));
}

void App::reopen() { window_->present(); }

void App::terminate() {
    if (terminated_) return;
    terminated_ = true;
    if (window_) window_->keepState();
    if (downloads_) downloads_->dropUnfinished();
    if (updates_) updates_->installAtQuit();
    // Gone for the user at once; the process stays, holding the app, until the server has ended.
    if (application_) {
        g_application_hold(G_APPLICATION(application_));
        for (GList* w = gtk_application_get_windows(application()); w; w = w->next)
            gtk_widget_set_visible(GTK_WIDGET(w->data), FALSE);
        trace("windows-hidden");
        // A launch from now on is a new instance of the app, not this ending one.
        compat::releaseApplicationName(G_APPLICATION(application_));
    }
    server_.stop([this] { onServerEnded(); });
}

void App::onServerEnded() {
    serverEnded_ = true;
    if (application_) g_application_quit(G_APPLICATION(application_));
}

void App::quit() {
    // A page waiting on its dialog gets Cancel, as if the user had pressed it.
    if (dialogs_) dialogs_->closeAll();
    terminate();
}

void App::shutdown() {
    terminate();
    while (!serverEnded_) g_main_context_iteration(nullptr, TRUE);
}

}  // namespace mirovan
