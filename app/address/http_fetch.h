// One HTTP(S) GET of a page, through libcurl.
//
// The request is deliberately plain: agent "Zelmar", no redirects followed
// (an address-echo page that redirects is answered by its redirect page),
// the HTTP status not examined (an error page is a page like any other),
// certificates verified for https, and only the proxy the system configures
// through curl's usual environment variables (http_proxy, https_proxy,
// no_proxy ...).
//
// The whole transfer, connecting included, is bounded by a time-out, and the
// body by a size limit: a longer body is cut at the limit and still counts as
// a page, so a hostile or broken server can neither hold the worker nor make
// it buffer without bound.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zelmar {

struct HttpFetchResult {
    bool ok = false;       // a page arrived whole (or was cut at the limit)
    bool cut = false;      // the body was longer than the limit
    long status = 0;       // the HTTP status, for diagnostics only
    std::string body;      // the page as received, at most the limit
    std::string error;     // why there is no page, when !ok
};

inline constexpr std::size_t kMaxPageBytes = 1024 * 1024;

HttpFetchResult HttpGet(const std::string& url, std::chrono::milliseconds timeout,
                        std::size_t maxBytes = kMaxPageBytes);

// Which address family a request may use: an echo page reports the address
// of the connection, so the IPv6 lookup must not fall back to IPv4 and the
// IPv4 lookup must not be answered over IPv6 on a dual-stack machine.
enum class IpFamily { Any, V4, V6 };

struct HttpRequest {
    std::string url;
    IpFamily family = IpFamily::Any;
};

// All pages at once, each under the same rules and limits as HttpGet; the
// results in the order of the requests. The whole call takes about as long
// as the slowest page, at most the time-out.
std::vector<HttpFetchResult> HttpGetAll(const std::vector<HttpRequest>& requests,
                                        std::chrono::milliseconds timeout, std::size_t maxBytes = kMaxPageBytes);

}  // namespace zelmar
