// libcurl's easy interface on detached worker threads, handing results to the GLib main
// loop with idle sources (which run in the order they were added).
#include "platform/Http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Interrupted.h"
#include "platform/Owned.h"
#include "platform/WebAddress.h"

namespace mirovan {

TransferProgress::TransferProgress() : started(g_get_monotonic_time()), moved(started.load()) {}

}  // namespace mirovan

namespace mirovan::http {

namespace {

constexpr long maxRedirects = 20;
constexpr const char* transferFailed = "The transfer failed.";

using Easy = Owned<CURL, curl_easy_cleanup>;
using Headers = Owned<curl_slist, curl_slist_free_all>;

// Where a body goes, and how much of it has come; a redirect's own body is thrown away.
struct Sink {
    const TransferBounds& bounds;
    std::string* text = nullptr;  // either a string
    int fd = -1;                  // or a file
    std::uint64_t received = 0;
    bool tooLong = false;

    // One byte past a declared length, to tell a longer body from an exact one.
    std::uint64_t cap() const {
        return bounds.exact && *bounds.exact < bounds.limit ? *bounds.exact + 1 : bounds.limit;
    }
    bool reset() {
        received = 0;
        if (text) text->clear();
        return fd < 0 || (ftruncate(fd, 0) == 0 && lseek(fd, 0, SEEK_SET) == 0);
    }
};

size_t onBody(char* data, size_t size, size_t count, void* sinkData) {
    auto* sink = static_cast<Sink*>(sinkData);
    std::uint64_t n = size * count;
    // Returning short fails the transfer: a body that never ends must not grow us, or the
    // disk, for ever.
    if (sink->bounds.progress->cancelled) return 0;
    if (n > sink->cap() - sink->received) {
        sink->tooLong = true;
        return 0;
    }
    if (sink->text)
        sink->text->append(data, n);
    else if (!writeAll(sink->fd, std::string_view(data, n)))
        return 0;
    sink->received += n;
    sink->bounds.progress->moved = g_get_monotonic_time();
    return n;
}

int onProgress(void* progress, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Non-zero aborts: whoever started the transfer has given up on it.
    return static_cast<TransferProgress*>(progress)->cancelled ? 1 : 0;
}

std::string curlWords(CURLcode code, const char* message) {
    std::string text = message[0] ? message : curl_easy_strerror(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// A transfer as users expect one: redirects followed, the system's certificates and proxy
// variables (libcurl's defaults), no signals (we are not on the main thread), and bounds in
// bytes and time. Redirects are followed here, not by libcurl, so that each hop's address
// is judged by secureAddress() before anything is sent to it.
Checked<> perform(std::string url, const curl_slist* headers, Sink& sink) {
    Easy easy(curl_easy_init());
    if (!easy) return Refusal{transferFailed, curl_easy_strerror(CURLE_FAILED_INIT)};
    char message[CURL_ERROR_SIZE] = "";
    CURL* c = easy.get();
    const TransferBounds& bounds = sink.bounds;
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Nothing but the web: another protocol (gopher, file, ...) could send bytes of a
    // feed's choosing to a local port or read a local file.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, bounds.stallSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, bounds.stallSeconds);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, bounds.progress.get());
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // what curl can decode; the body arrives decoded
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    const std::int64_t deadline = bounds.progress->started + std::int64_t(bounds.totalSeconds) * G_USEC_PER_SEC;
    for (long hop = 0;; ++hop) {
        if (auto secure = secureAddress(url); !secure) return secure;
        if (!sink.reset()) return Refusal{"The download couldn't be saved.", std::strerror(errno)};
        if (bounds.totalSeconds > 0) {
            std::int64_t left = (deadline - g_get_monotonic_time()) / 1000;
            if (left <= 0)
                return Refusal{transferFailed, "no answer within " + std::to_string(bounds.totalSeconds) + " s"};
            curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, long(left));
        }
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        message[0] = 0;
        CURLcode code = curl_easy_perform(c);
        // Past what was declared, when that fits the limit, is a wrong length; else too long.
        if (sink.tooLong) return bounds.exact && *bounds.exact < bounds.limit ? bounds.wrongLength : bounds.tooLong;
        // libcurl's clock started a little after ours: within a second of the end is the end.
        if (code == CURLE_OPERATION_TIMEDOUT && bounds.totalSeconds > 0 &&
            g_get_monotonic_time() >= deadline - G_USEC_PER_SEC)
            return Refusal{transferFailed, "no answer within " + std::to_string(bounds.totalSeconds) + " s"};
        if (code != CURLE_OK) return Refusal{transferFailed, curlWords(code, message)};
        long status = 0;
        char* next = nullptr;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &next);
        if (status / 100 != 3 || !next) break;
        if (hop == maxRedirects) return Refusal{transferFailed, "more than 20 redirects"};
        url = next;
    }
    if (bounds.exact && sink.received != *bounds.exact) return bounds.wrongLength;
    return accepted();
}

gboolean runOnce(gpointer closure) {
    (*static_cast<std::function<void()>*>(closure))();
    return G_SOURCE_REMOVE;
}

void toMainLoop(std::function<void()> then) {
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new std::function<void()>(std::move(then)),
                    [](gpointer closure) { delete static_cast<std::function<void()>*>(closure); });
}

}  // namespace

Checked<std::string> get(const std::string& url, const TransferBounds& bounds) {
    // A feed must never come from a cache, ours or a proxy's.
    curl_slist* list = nullptr;
    for (const char* header : {"Cache-Control: no-cache", "Pragma: no-cache"}) {
        curl_slist* longer = curl_slist_append(list, header);
        if (!longer) {
            curl_slist_free_all(list);
            return Refusal{transferFailed, curl_easy_strerror(CURLE_OUT_OF_MEMORY)};
        }
        list = longer;
    }
    Headers headers(list);
    std::string text;
    Sink sink{bounds, &text};
    if (Checked<> done = perform(url, headers.get(), sink); !done) return done.refusal();
    return text;
}

void getToFile(const std::string& url, const std::string& folder, const TransferBounds& bounds,
               const std::function<void(const Checked<std::string>&)>& use) {
    g_autofree char* path = g_build_filename(folder.c_str(), "download-XXXXXX", nullptr);
    // Close-on-exec: no child spawned meanwhile may hold the file open.
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        use(Refusal{"The download couldn't be saved.", std::strerror(errno)});
        return;
    }
    Sink sink{bounds, nullptr, fd};
    Checked<> done = perform(url, nullptr, sink);
    if (::close(fd) != 0 && done) done = Refusal{"The download couldn't be saved.", std::strerror(errno)};
    if (!done) {
        ::unlink(path);
        use(done.refusal());
        return;
    }
    bounds.progress->working = true;
    use(std::string(path));
    ::unlink(path);
}

void onWorker(std::function<std::function<void()>()> work) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    auto* job = new std::function<void()>([work = std::move(work)] { toMainLoop(work()); });
    auto run = [](gpointer data) -> gpointer {
        std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(data));
        (*owned)();
        return nullptr;
    };
    // Detached: nothing waits for a transfer, and the process may end during one.
    if (GThread* thread = g_thread_try_new("transfer", run, job, nullptr)) {
        g_thread_unref(thread);
        return;
    }
    // No thread to be had: do the work here rather than never answer.
    run(job);
}

}  // namespace mirovan::http
