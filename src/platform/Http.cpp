// libcurl's easy interface on detached worker threads, handing results to the GLib main
// loop with idle sources (which run in the order they were added).
#include "platform/Http.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/Interrupted.h"
#include "platform/Owned.h"

namespace mirovan::http {

namespace {

constexpr long stallSeconds = 60;
constexpr long maxRedirects = 20;
constexpr const char* transferFailed = "The transfer failed.";

using Easy = Owned<CURL, curl_easy_cleanup>;
using Headers = Owned<curl_slist, curl_slist_free_all>;

struct Body {
    std::string text;
    std::size_t limit;
    bool tooLong = false;
};

size_t appendToString(char* data, size_t size, size_t count, void* sink) {
    auto* body = static_cast<Body*>(sink);
    // Returning short fails the transfer: a body that never ends must not grow us for ever.
    if (size * count > body->limit - body->text.size()) {
        body->tooLong = true;
        return 0;
    }
    body->text.append(data, size * count);
    return size * count;
}

size_t writeToFile(char* data, size_t size, size_t count, void* fd) {
    // Anything short of all of it makes curl fail the transfer.
    return writeAll(*static_cast<int*>(fd), std::string_view(data, size * count)) ? size * count : 0;
}

// A transfer as users expect one: redirects followed, the system's certificates and proxy
// variables (libcurl's defaults), no signals (we are not on the main thread), and a stall
// timeout so that a dead connection cannot keep a check in flight for ever.
Checked<> perform(const std::string& url, const curl_slist* headers, curl_write_callback write, void* sink) {
    Easy easy(curl_easy_init());
    if (!easy) return Refusal{transferFailed, curl_easy_strerror(CURLE_FAILED_INIT)};
    char message[CURL_ERROR_SIZE] = "";
    CURL* c = easy.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Nothing but the web: another protocol (gopher, file, ...) could send bytes of a
    // feed's choosing to a local port or read a local file, and a redirect could lead there.
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, stallSeconds);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, stallSeconds);
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, "");  // what curl can decode; the body arrives decoded
    if (headers) curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, sink);
    CURLcode code = curl_easy_perform(c);
    if (code == CURLE_OK) return accepted();
    std::string text = message[0] ? message : curl_easy_strerror(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return Refusal{transferFailed, text};
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

Checked<std::string> get(const std::string& url, std::size_t limit) {
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
    Body body{{}, limit, false};
    Checked<> done = perform(url, headers.get(), appendToString, &body);
    if (body.tooLong) return Refusal{"The answer is larger than " + std::to_string(limit) + " bytes.", ""};
    if (!done) return done.refusal();
    return std::move(body.text);
}

void getToFile(const std::string& url, const std::string& folder,
               const std::function<void(const Checked<std::string>&)>& use) {
    g_autofree char* path = g_build_filename(folder.c_str(), "download-XXXXXX", nullptr);
    // Close-on-exec: no child spawned meanwhile may hold the file open.
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) {
        use(Refusal{"The download couldn't be saved.", std::strerror(errno)});
        return;
    }
    Checked<> done = perform(url, nullptr, writeToFile, &fd);
    if (::close(fd) != 0 && done) done = Refusal{"The download couldn't be saved.", std::strerror(errno)};
    if (!done) {
        ::unlink(path);
        use(done.refusal());
        return;
    }
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
