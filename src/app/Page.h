// What the web view shows: a status page while the server's page cannot be shown, then
// the server's page. Every load into the view starts here: the first one, reload, the
// recovery page, the retry of a failed load and own pages kept in the window.
#pragma once

#include <optional>
#include <string>

#include "core/Bundle.h"
#include "web/RecoveryRule.h"
#include "web/WebView.h"

namespace mirovan {

class Page {
public:
    explicit Page(const Bundle& bundle) : bundle_(bundle) {}
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    // The web view exists now: it shows what is due, the server's page at once when the
    // server is already serving (no starting page in between), else the status page
    // asked for so far, else "Starting NAME…".
    void attach(WebView& web);

    // Shows the status page; before the view exists, it waits for attach().
    void status(const std::string& title, const std::string& detail);
    // The server announced its page at `address`: it is loaded, replacing the status page.
    void ready(const std::string& address);

    // The server's page, once known.
    const std::optional<std::string>& address() const { return address_; }

    // The server's page again.
    void reload();
    // The server's recovery page.
    void recovery();
    // The page as it is now, again in a second: for a load that failed.
    void retryLater();
    // An address of the app's own server, loaded in place of the page.
    void open(const std::string& url);
    // The page's web process ended: the status page says why, and the page is loaded
    // again by itself, unless that was done less than 30 s ago.
    void processEnded(ProcessEnd end);

private:
    enum class Showing { nothing, status, page };
    void load(const std::string& url);
    void show(std::string statusDocument);
    void onLoadChanged(WebKitLoadEvent event);

    const Bundle& bundle_;
    WebView* web_ = nullptr;
    std::optional<std::string> address_;
    std::optional<std::string> pendingStatus_;  // asked for before the view existed
    Showing showing_ = Showing::nothing;
    std::optional<double> lastAutomaticLoad_;  // after an ended process, in seconds
};

}  // namespace mirovan
