// The app's program as the swap tests need it: its swap mode is the app's own; started
// plainly, as a relaunch starts it, it writes its own file name to "started" and ends.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "update/Exchange.h"

int main(int argc, char** argv) {
    if (auto swap = mirovan::swapRequest(argc, argv)) return mirovan::installUpdate(*swap);
    std::string exe(4096, '\0');
    exe.resize(std::max<ssize_t>(0, readlink("/proc/self/exe", exe.data(), exe.size())));
    FILE* out = std::fopen("started", "a");
    if (!out) return 1;
    std::fprintf(out, "%s\n", exe.substr(exe.rfind('/') + 1).c_str());
    return std::fclose(out) == 0 ? 0 : 1;
}
