// The https-or-loopback rule, on libcurl's URL parser.
#include "platform/WebAddress.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <glib.h>

#include <cstring>

#include "platform/Owned.h"

namespace mirovan {

namespace {

constexpr const char* notSecure = "Updates are only taken over https.";

using Url = Owned<CURLU, curl_url_cleanup>;
using Part = Owned<char, curl_free>;

bool loopback(std::string host) {
    if (g_ascii_strcasecmp(host.c_str(), "localhost") == 0) return true;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        in6_addr six;
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &six) == 1 &&
               std::memcmp(&six, &in6addr_loopback, sizeof six) == 0;
    }
    // libcurl has already normalised IPv4 forms ("127.1", "0x7f.1") to dotted quads.
    in_addr four;
    return inet_pton(AF_INET, host.c_str(), &four) == 1 && (ntohl(four.s_addr) >> 24) == 127;
}

}  // namespace

Checked<> secureAddress(const std::string& url) {
    Url parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
        return Refusal{notSecure, "\"" + url + "\" is not an address"};
    char* scheme = nullptr;
    char* host = nullptr;
    curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0);
    Part ownedScheme(scheme);
    curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0);
    Part ownedHost(host);
    if (scheme && g_ascii_strcasecmp(scheme, "https") == 0) return accepted();
    if (scheme && g_ascii_strcasecmp(scheme, "http") == 0 && host && loopback(host)) return accepted();
    return Refusal{notSecure, url + " is neither https nor on this machine"};
}

}  // namespace mirovan
