// The updater's transport over the app's HTTP transfers (platform/Http.h).
#pragma once

#include "update/Transport.h"

namespace mirovan {

class HttpTransport final : public UpdateTransport {
public:
    void fetchFeed(const std::string& url, const TransferBounds& bounds,
                   std::function<void(Checked<std::string>)> done) override;
    void downloadArchive(const std::string& url, const std::string& folder, const TransferBounds& bounds,
                         std::function<Checked<std::string>(const std::string& file)> verifyOnWorker,
                         std::function<void(Checked<std::string>)> done) override;
};

}  // namespace mirovan
