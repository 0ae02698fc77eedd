// The process entry: find the bundle around this program and run the app.
#include <glib.h>

#include "core/App.h"
#include "core/Trace.h"

int main(int argc, char** argv) {
    mirovan::trace("start");
    g_autofree char* executable = g_file_read_link("/proc/self/exe", nullptr);
    // The one App lives until the process ends; nothing tears it down before exit.
    static auto* app = new mirovan::App(mirovan::Bundle::forExecutable(executable ? executable : argv[0]));
    return app->run(argc, argv);
}
