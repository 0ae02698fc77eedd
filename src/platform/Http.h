// HTTP transfers with libcurl, each on a thread of its own so that the main loop never
// waits for the network; every answer comes back on the main loop, in the order the
// transfers ended. Only https is spoken (plain http only on this machine, WebAddress.h),
// on every redirect too; redirects are followed, TLS is verified, the proxy variables
// count, and every transfer is bounded in bytes and in time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Checked.h"

namespace mirovan {

// Shared by a transfer's thread and whoever started it: a way to stop the transfer, and
// when it last moved. Times are g_get_monotonic_time() microseconds.
struct TransferProgress {
    TransferProgress();
    std::atomic<bool> cancelled{false};
    std::atomic<std::int64_t> started;
    std::atomic<std::int64_t> moved;   // when body bytes last arrived; `started` until then
    std::atomic<bool> working{false};  // the transfer is done, and its result is being examined
};

// How far a transfer may go. Passing `limit`, or `exact` when it is set, ends it with
// `tooLong`; ending short of `exact` is `wrongLength`.
struct TransferBounds {
    std::uint64_t limit = 0;
    Refusal tooLong;
    std::optional<std::uint64_t> exact;
    Refusal wrongLength;
    long totalSeconds = 0;   // the whole transfer, redirects included; 0: no bound
    long stallSeconds = 30;  // no byte for this long fails it
    std::shared_ptr<TransferProgress> progress = std::make_shared<TransferProgress>();
};

namespace http {

// The blocking halves, run on a worker thread. A transfer that failed is refused with
// words for the user and libcurl's (or the system's) own as the cause.

// A GET's body. The HTTP status is not looked at: an error page is a body like any other.
Checked<std::string> get(const std::string& url, const TransferBounds& bounds);
// Writes into a new file in `folder`, which must exist, and hands `use` that file's path;
// the file exists only while `use` runs. A failed transfer leaves no file behind.
void getToFile(const std::string& url, const std::string& folder, const TransferBounds& bounds,
               const std::function<void(const Checked<std::string>&)>& use);

// Runs `work` on a new thread; the closure it returns then runs on the main loop.
void onWorker(std::function<std::function<void()>()> work);

}  // namespace http

// GETs `url`, bypassing every cache, within `bounds`. `read` turns the outcome into a
// value on the worker thread; `done` receives that value on the main loop.
template <class Read, class Done>
void fetch(const std::string& url, TransferBounds bounds, Read read, Done done) {
    using Value = std::decay_t<std::invoke_result_t<Read, Checked<std::string>>>;
    http::onWorker(
        [url, bounds = std::move(bounds), read = std::move(read), done = std::move(done)]() -> std::function<void()> {
            auto value = std::make_shared<Value>(read(http::get(url, bounds)));
            return [done, value] { done(std::move(*value)); };
        });
}

// Downloads `url` into a new file in `folder`, within `bounds`. `work` runs on the worker
// thread while the file exists; the file is deleted after it, and `done` receives its
// result on the main loop.
template <class Work, class Done>
void download(const std::string& url, const std::string& folder, TransferBounds bounds, Work work, Done done) {
    using Value = std::decay_t<std::invoke_result_t<Work, const Checked<std::string>&>>;
    http::onWorker([url, folder, bounds = std::move(bounds), work = std::move(work),
                    done = std::move(done)]() -> std::function<void()> {
        std::shared_ptr<Value> value;
        http::getToFile(url, folder, bounds,
                        [&](const Checked<std::string>& got) { value = std::make_shared<Value>(work(got)); });
        return [done, value] { done(std::move(*value)); };
    });
}

}  // namespace mirovan
