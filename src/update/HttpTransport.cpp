// Feed and archive transfers on worker threads, their answers handed to the main loop.
#include "update/HttpTransport.h"

namespace mirovan {

void HttpTransport::fetchFeed(const std::string& url, const TransferBounds& bounds,
                              std::function<void(Checked<std::string>)> done) {
    fetch(
        url, bounds, [](Checked<std::string> got) { return got; }, std::move(done));
}

void HttpTransport::downloadArchive(const std::string& url, const std::string& folder, const TransferBounds& bounds,
                                    std::function<Checked<std::string>(const std::string& file)> verifyOnWorker,
                                    std::function<void(Checked<std::string>)> done) {
    download(
        url, folder, bounds,
        [verify = std::move(verifyOnWorker)](const Checked<std::string>& file) -> Checked<std::string> {
            if (!file) return file.refusal();
            return verify(*file);
        },
        std::move(done));
}

}  // namespace mirovan
