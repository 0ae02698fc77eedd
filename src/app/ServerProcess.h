// The bundled server from start to stop: its launch, its output and readiness, its end,
// and stopping it when the app ends.
#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/Bundle.h"
#include "core/Readiness.h"
#include "core/Utf8Stream.h"
#include "platform/ChildProcess.h"

namespace mirovan {

class ServerProcess {
public:
    struct Events {
        // The readiness line came and the page's address was read: it is `page`. Once.
        std::function<void(const std::string& page)> ready;
        // The server could not start, or ended while the app was not ending: what the
        // status page says, as a title and a detail.
        std::function<void(const std::string& title, const std::string& detail)> failed;
    };

    ServerProcess(const Bundle& bundle, Events events);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server; once, as early as the process knows it is the app's one instance.
    void start();
    // Reads what the server has written so far without waiting, so that a readiness line
    // already in the pipe counts now.
    void catchUp();
    // The app is ending: the server gets the end of its input, then, when it is still
    // running 6 s later, SIGTERM. Its end is no longer reported. Runs once.
    void stop();

    // The page's address, once the server has announced it.
    const std::optional<std::string>& page() const { return output_.page(); }

private:
    void onOutput();
    void onExit();
    // Reads what the server wrote now, at most `limit` bytes; returns how much.
    size_t read(size_t limit);
    void shellSaid(std::string_view text);

    const Bundle& bundle_;
    Events events_;
    std::unique_ptr<ChildProcess> shell_;  // holds the write end of the server's stdin
    ServerOutput output_;                  // the log, the partial line and the page
    Utf8Stream decoder_;
    std::string data_;
    guint outputWatch_ = 0;
    bool outputEnded_ = false;
    bool stopping_ = false;
};

}  // namespace mirovan
