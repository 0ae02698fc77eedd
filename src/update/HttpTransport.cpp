// Feed and archive transfers on worker threads, their answers handed to the main loop.
#include "update/HttpTransport.h"

#include "platform/Http.h"

namespace mirovan {

void HttpTransport::fetchFeed(const std::string& url, std::size_t limit,
                              std::function<void(Checked<std::string>)> done) {
    fetch(
        url, limit, [](Checked<std::string> got) { return got; }, std::move(done));
}

void HttpTransport::downloadArchive(const std::string& url, const std::string& folder,
                                    std::function<Checked<std::string>(const std::string& file)> verifyOnWorker,
                                    std::function<void(Checked<std::string>)> done) {
    download(
        url, folder,
        [verify = std::move(verifyOnWorker)](const Checked<std::string>& file) -> Checked<std::string> {
            if (!file) return file.refusal();
            return verify(*file);
        },
        std::move(done));
}

}  // namespace mirovan
