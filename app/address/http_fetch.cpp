#include "app/address/http_fetch.h"

#include <memory>

#include "app/address/curl_library.h"

namespace zelmar {

namespace {

using Clock = std::chrono::steady_clock;

struct Sink {
    std::string* body;
    std::size_t limit;
    Clock::time_point deadline;
    bool cut = false;
    bool late = false;
};

// Every pass through the transfer (each piece of body, each header line,
// each progress call) checks the deadline itself: a server that floods
// headers or body never lets the transfer wait, and the end must not depend
// on where curl happens to look at the clock.
bool PastDeadline(Sink* sink) {
    if (Clock::now() < sink->deadline) return false;
    sink->late = true;
    return true;
}

std::size_t WriteHeader(char*, std::size_t size, std::size_t count, void* user) {
    return PastDeadline(static_cast<Sink*>(user)) ? 0 : size * count;
}

int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return PastDeadline(static_cast<Sink*>(user)) ? 1 : 0;
}

std::size_t WriteBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    if (PastDeadline(sink)) return 0;
    const std::size_t n = size * count;
    const std::size_t room = sink->limit - sink->body->size();
    if (n > room) {
        sink->body->append(data, room);
        sink->cut = true;
        return 0;  // stops the transfer: the rest of the page is not wanted
    }
    sink->body->append(data, n);
    return n;
}

struct EasyDeleter {
    const CurlApi* api;
    void operator()(CURL* c) const { api->easy_cleanup(c); }
};

}  // namespace

HttpFetchResult HttpGet(const std::string& url, std::chrono::milliseconds timeout, std::size_t maxBytes) {
    HttpFetchResult result;
    // Declared first, so that the library outlives the transfer's handle.
    const std::shared_ptr<const CurlApi> api = AcquireCurl(&result.error);
    if (!api) return result;
    std::unique_ptr<CURL, EasyDeleter> easy(api->easy_init(), EasyDeleter{api.get()});
    if (!easy) {
        result.error = "cannot start an HTTP request";
        return result;
    }
    CURL* c = easy.get();
    char errorText[CURL_ERROR_SIZE] = {};
    const long ms = static_cast<long>(timeout.count() > 0 ? timeout.count() : 1);
    Sink sink{&result.body, maxBytes, Clock::now() + std::chrono::milliseconds(ms)};

    api->easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    api->easy_setopt(c, CURLOPT_URL, url.c_str());
    api->easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    api->easy_setopt(c, CURLOPT_USERAGENT, "Zelmar");
    api->easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    api->easy_setopt(c, CURLOPT_HTTPGET, 1L);
    // Worker threads must not get curl's SIGALRM-based resolver time-outs.
    api->easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
    api->easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    api->easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    api->easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    api->easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
    api->easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    api->easy_setopt(c, CURLOPT_HEADERFUNCTION, WriteHeader);
    api->easy_setopt(c, CURLOPT_HEADERDATA, &sink);
    api->easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    api->easy_setopt(c, CURLOPT_XFERINFODATA, &sink);
    api->easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    const CURLcode rc = api->easy_perform(c);
    api->easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    result.cut = sink.cut;
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && sink.cut && !sink.late)) {
        result.ok = true;
        return result;
    }
    result.error = sink.late ? "timed out" : errorText[0] != '\0' ? errorText : api->easy_strerror(rc);
    result.body.clear();
    return result;
}

}  // namespace zelmar
