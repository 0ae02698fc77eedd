// The server's command line, environment and data directory, and the stopped report.
#include "core/ServerCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>

namespace mirovan {

namespace fs = std::filesystem;

ServerFiles serverFiles(const std::string& resources) {
    return {(fs::path(resources) / "python" / "bin" / "python3").string(),
            (fs::path(resources) / "app" / "serve.py").string()};
}

bool isComplete(const ServerFiles& files) {
    struct stat st {};
    bool executable = stat(files.interpreter.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                      access(files.interpreter.c_str(), X_OK) == 0;
    if (!executable) return false;
    return stat(files.script.c_str(), &st) == 0;
}

std::string dataDirectory(const char* mirovanData, const std::string& cwd, const std::string& userDataDir,
                          const std::string& name) {
    if (mirovanData && *mirovanData) {
        fs::path p(mirovanData);
        return p.is_absolute() ? p.string() : (fs::path(cwd) / p).string();
    }
    return (fs::path(userDataDir) / name).string();
}

ServerCommand serverCommand(const ServerFiles& files, const std::string& data,
                            const std::vector<std::string>& environment) {
    ServerCommand c;
    c.argv = {files.interpreter, "-B", files.script, "--port", "0", "--watch-stdin"};
    c.directory = fs::path(files.script).parent_path().string();
    auto replaced = [](const std::string& entry) {
        return entry.starts_with("MIROVAN_DATA=") || entry.starts_with("PYTHONDONTWRITEBYTECODE=");
    };
    std::copy_if(environment.begin(), environment.end(), std::back_inserter(c.environment),
                 [&](const std::string& e) { return !replaced(e); });
    c.environment.push_back("MIROVAN_DATA=" + data);
    c.environment.push_back("PYTHONDONTWRITEBYTECODE=1");
    return c;
}

std::string stoppedDetail(std::string_view log) {
    std::deque<std::string_view> last;
    size_t start = 0;
    while (start <= log.size()) {
        size_t lf = log.find('\n', start);
        size_t end = lf == std::string_view::npos ? log.size() : lf;
        if (end > start) {
            last.push_back(log.substr(start, end - start));
            if (last.size() > 3) last.pop_front();
        }
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    if (last.empty()) return "It stopped unexpectedly.";
    std::string detail;
    for (auto line : last) {
        if (!detail.empty()) detail += '\n';
        detail += line;
    }
    return detail;
}

}  // namespace mirovan
