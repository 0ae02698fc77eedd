// The program's own path and the session bus, looked up through GLib.
#include "platform/Session.h"

#include <glib.h>

namespace mirovan {

std::string programPath(const std::string& fallback) {
    g_autofree char* path = g_file_read_link("/proc/self/exe", nullptr);
    return path ? path : fallback;
}

bool sessionBusReachable() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    g_autofree char* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
    return g_file_test(socket, G_FILE_TEST_EXISTS);
}

}  // namespace mirovan
