// The bundled server from start to stop: its launch (one server per data folder), its
// output and readiness, its end, and stopping it and everything it started when the app ends.
#pragma once

#include <glib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/Bundle.h"
#include "core/Readiness.h"
#include "core/Utf8Stream.h"
#include "platform/ChildProcess.h"
#include "platform/FileLock.h"

namespace mirovan {

class ServerProcess {
public:
    struct Events {
        // The readiness line came and the page's address was read: it is `page`. Once.
        std::function<void(const std::string& page)> ready;
        // What the status page says, as a title and a detail: the server could not start,
        // ended while the app was not ending, or waits for the last copy's server to end.
        std::function<void(const std::string& title, const std::string& detail)> status;
    };

    ServerProcess(const Bundle& bundle, Events events);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server; once, as early as the process knows it is the app's one instance.
    // While another copy's server still uses the data folder, it waits for that one to end.
    void start();
    // Reads what the server has written so far without waiting, so that a readiness line
    // already in the pipe counts now.
    void catchUp();
    // The app is ending: the server gets the end of its input at once and, when it is still
    // running 6 s later, its group gets SIGTERM. Whatever it started that is still running
    // once it has ended gets SIGTERM, and SIGKILL 2 s later; at 8 s everything left gets
    // SIGKILL. Never blocks: `ended` runs once all of it has gone. Its end is no longer
    // reported. Runs once. A server that ends by itself is reported, and what it started
    // is ended in the same way.
    void stop(std::function<void()> ended);

    // The page's address, once the server has announced it.
    const std::optional<std::string>& page() const { return output_.page(); }

private:
    void onLockTry();
    void launch();
    void onReapTime();
    void onOutput();
    void onExit();
    void onStopTick();
    void finish();
    // Reads what the server wrote now, at most `limit` bytes; returns how much.
    size_t read(size_t limit);
    void shellSaid(std::string_view text);

    const Bundle& bundle_;
    Events events_;
    std::unique_ptr<ChildProcess> shell_;  // holds the write end of the server's stdin
    ServerOutput output_;                  // the log, the partial line and the page
    Utf8Stream decoder_;
    std::string data_;
    FileLock lock_;  // held from the server's launch until it and its processes have ended
    guint lockRetry_ = 0;
    guint reaping_ = 0;
    guint outputWatch_ = 0;
    bool outputEnded_ = false;
    bool stopping_ = false;

    // The stop, from stop() to `ended_`; the clearing up after a server that ended by itself.
    std::function<void()> ended_;
    guint stopTick_ = 0;
    std::chrono::steady_clock::time_point stopAt_;
    std::optional<std::chrono::steady_clock::duration> serverEndedAt_;
    bool groupTerminated_ = false;
    std::set<int> terminated_;
};

}  // namespace mirovan
