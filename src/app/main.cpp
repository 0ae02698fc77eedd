// The process entry: find the bundle around this program and run the app.
#include "app/App.h"
#include "core/Trace.h"
#include "platform/Session.h"

int main(int argc, char** argv) {
    mirovan::trace("start");
    // The one App lives until the process ends; nothing tears it down before exit.
    static auto* app = new mirovan::App(mirovan::Bundle::forExecutable(mirovan::programPath(argv[0])));
    return app->run(argc, argv);
}
