// HTTP transfers with libcurl, each on a thread of its own so that the main loop never
// waits for the network; every answer comes back on the main loop, in the order the
// transfers ended. Only http and https are spoken, redirects included; redirects are
// followed, TLS is verified, the proxy variables count, and a transfer that makes no
// progress for 60 s fails.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Checked.h"

namespace mirovan {

namespace http {

// The blocking halves, run on a worker thread. A transfer that failed is refused with
// words for the user and libcurl's (or the system's) own as the cause.

// A GET's body. The HTTP status is not looked at: an error page is a body like any other.
// A body longer than the limit fails the transfer.
Checked<std::string> get(const std::string& url, std::size_t limit);
// Writes into a new file in `folder`, which must exist, and hands `use` that file's path;
// the file exists only while `use` runs. A failed transfer leaves no file behind.
void getToFile(const std::string& url, const std::string& folder,
               const std::function<void(const Checked<std::string>&)>& use);

// Runs `work` on a new thread; the closure it returns then runs on the main loop.
void onWorker(std::function<std::function<void()>()> work);

}  // namespace http

// GETs `url`, bypassing every cache, taking at most `limit` bytes of body. `read` turns
// the outcome into a value on the worker thread; `done` receives that value on the main loop.
template <class Read, class Done>
void fetch(const std::string& url, std::size_t limit, Read read, Done done) {
    using Value = std::decay_t<std::invoke_result_t<Read, Checked<std::string>>>;
    http::onWorker([url, limit, read = std::move(read), done = std::move(done)]() -> std::function<void()> {
        auto value = std::make_shared<Value>(read(http::get(url, limit)));
        return [done, value] { done(std::move(*value)); };
    });
}

// Downloads `url` into a new file in `folder`. `work` runs on the worker thread while the
// file exists; the file is deleted after it, and `done` receives its result on the main loop.
template <class Work, class Done>
void download(const std::string& url, const std::string& folder, Work work, Done done) {
    using Value = std::decay_t<std::invoke_result_t<Work, const Checked<std::string>&>>;
    http::onWorker([url, folder, work = std::move(work), done = std::move(done)]() -> std::function<void()> {
        std::shared_ptr<Value> value;
        http::getToFile(url, folder,
                        [&](const Checked<std::string>& got) { value = std::make_shared<Value>(work(got)); });
        return [done, value] { done(std::move(*value)); };
    });
}

}  // namespace mirovan
