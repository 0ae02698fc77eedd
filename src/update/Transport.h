// How the updater reaches the world outside the process: the feed and the archive over
// the network, and the swap script it leaves behind. Tests put fakes in their place.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/Checked.h"
#include "platform/Http.h"

namespace mirovan {

class UpdateTransport {
public:
    // The feed's body within `bounds`, or why the transfer failed; `done` runs on the main loop.
    virtual void fetchFeed(const std::string& url, const TransferBounds& bounds,
                           std::function<void(Checked<std::string>)> done) = 0;
    // Downloads `url` into a new file in `folder`, within `bounds`. `verifyOnWorker` runs
    // off the main thread while the file exists (it is deleted after); `done` gets its
    // result, or why the transfer failed, on the main loop.
    virtual void downloadArchive(const std::string& url, const std::string& folder, const TransferBounds& bounds,
                                 std::function<Checked<std::string>(const std::string& file)> verifyOnWorker,
                                 std::function<void(Checked<std::string>)> done) = 0;

protected:
    ~UpdateTransport() = default;
};

// Starts the swap script so that it outlives the app; says why when it could not.
using StartScript = std::function<Checked<>(const std::string& script)>;

}  // namespace mirovan
