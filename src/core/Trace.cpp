#include "core/Trace.h"

#include <glib.h>

#include <cstdio>

namespace mirovan {

void trace(const char* event) {
    static const bool on = g_getenv("MIROVAN_TRACE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "mirovan-trace %lld %s\n", static_cast<long long>(g_get_monotonic_time()), event);
    std::fflush(stderr);
}

}  // namespace mirovan
