// How the bundled server is started: its files, data directory, command line and
// environment, and what is reported when it stops.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirovan {

struct ServerFiles {
    std::string interpreter;  // resources/python/bin/python3
    std::string script;       // resources/app/serve.py
};

ServerFiles serverFiles(const std::string& resources);

// The interpreter is an executable file and (looked at only then) the script exists.
bool isComplete(const ServerFiles& files);

// MIROVAN_DATA when set and not empty (made absolute against `cwd`), else the user's
// data directory with the app's name appended.
std::string dataDirectory(const char* mirovanData, const std::string& cwd, const std::string& userDataDir,
                          const std::string& name);

struct ServerCommand {
    std::vector<std::string> argv;         // argv[0] is the interpreter's full path
    std::string directory;                 // the script's folder
    std::vector<std::string> environment;  // NAME=value entries
};

// `environment` is the app's own (NAME=value entries); MIROVAN_DATA and
// PYTHONDONTWRITEBYTECODE are set in the copy, replacing any earlier value.
ServerCommand serverCommand(const ServerFiles& files, const std::string& data,
                            const std::vector<std::string>& environment);

// The last three non-empty lines of the log joined by line feeds, or
// "It stopped unexpectedly." when there are none.
std::string stoppedDetail(std::string_view log);

}  // namespace mirovan
