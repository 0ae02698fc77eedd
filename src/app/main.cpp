// The process entry: find the bundle around this program and run the app.
#include <cstdio>
#include <string_view>

#include "app/App.h"
#include "core/LauncherFiles.h"
#include "core/Trace.h"
#include "platform/Compat.h"
#include "platform/PropertyList.h"
#include "platform/Session.h"
#include "update/Exchange.h"

int main(int argc, char** argv) {
    // The swap script runs the new bundle's program so, before any of the app starts.
    if (auto swap = mirovan::swapRequest(argc, argv)) return mirovan::installUpdate(*swap);
    mirovan::trace("start");
    auto bundle = mirovan::Bundle::forExecutable(mirovan::programPath(argv[0]));
    // Without libplist the app would run nameless and without its feed: say why and stop.
    if (const auto& plist = mirovan::plist::library(); !bundle.info() && !plist) {
        std::fprintf(stderr, "%s %s\n", plist.why().c_str(), plist.cause().c_str());
        return 1;
    }
    if (argc == 3 && std::string_view(argv[1]) == "--desktop-entry") return mirovan::printPackagedEntry(bundle, argv[2]);
    // The one App lives until the process ends; nothing tears it down before exit.
    mirovan::compat::honourPortalSwitch();
    static auto* app = new mirovan::App(std::move(bundle));
    return app->run(argc, argv);
}
