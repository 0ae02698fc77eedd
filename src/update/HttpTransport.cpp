// Feed and archive transfers on worker threads, their answers handed to the main loop.
#include "update/HttpTransport.h"

#include "platform/Http.h"

namespace mirovan {

void HttpTransport::fetchFeed(const std::string& url, std::size_t limit,
                              std::function<void(Checked<std::string>)> done) {
    fetch(
        url, limit,
        [](Fetched got) -> Checked<std::string> {
            if (got.error) return Refusal{*got.error};
            return std::move(got.body);
        },
        std::move(done));
}

void HttpTransport::downloadArchive(const std::string& url, const std::string& folder,
                                    std::function<Checked<std::string>(const std::string& file)> verifyOnWorker,
                                    std::function<void(Checked<std::string>)> done) {
    download(
        url, folder,
        [verify = std::move(verifyOnWorker)](const Downloaded& got) -> Checked<std::string> {
            if (!got.file) return Refusal{got.error.value_or("The download failed.")};
            return verify(*got.file);
        },
        std::move(done));
}

}  // namespace mirovan
