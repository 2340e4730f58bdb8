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

// The request's settings, the same for a single fetch and for each of
// several at once.
void Configure(const CurlApi& api, CURL* c, const HttpRequest& request, long ms, Sink* sink, char* errorText) {
    api.easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    api.easy_setopt(c, CURLOPT_URL, request.url.c_str());
    api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    api.easy_setopt(c, CURLOPT_USERAGENT, "Zelmar");
    api.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    api.easy_setopt(c, CURLOPT_HTTPGET, 1L);
    // Worker threads must not get curl's SIGALRM-based resolver time-outs.
    api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api.easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
    api.easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    api.easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    api.easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    api.easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
    api.easy_setopt(c, CURLOPT_WRITEDATA, sink);
    api.easy_setopt(c, CURLOPT_HEADERFUNCTION, WriteHeader);
    api.easy_setopt(c, CURLOPT_HEADERDATA, sink);
    api.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, Progress);
    api.easy_setopt(c, CURLOPT_XFERINFODATA, sink);
    api.easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    const long resolve = request.family == IpFamily::V4   ? CURL_IPRESOLVE_V4
                         : request.family == IpFamily::V6 ? CURL_IPRESOLVE_V6
                                                          : CURL_IPRESOLVE_WHATEVER;
    api.easy_setopt(c, CURLOPT_IPRESOLVE, resolve);
}

// The result of a finished transfer.
void Finish(const CurlApi& api, CURL* c, CURLcode rc, const Sink& sink, const char* errorText,
            HttpFetchResult& result) {
    api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &result.status);
    result.cut = sink.cut;
    if (rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && sink.cut && !sink.late)) {
        result.ok = true;
        return;
    }
    result.error = sink.late ? "timed out" : errorText[0] != '\0' ? errorText : api.easy_strerror(rc);
    result.body.clear();
}

long Milliseconds(std::chrono::milliseconds timeout) {
    return static_cast<long>(timeout.count() > 0 ? timeout.count() : 1);
}

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
    char errorText[CURL_ERROR_SIZE] = {};
    const long ms = Milliseconds(timeout);
    Sink sink{&result.body, maxBytes, Clock::now() + std::chrono::milliseconds(ms)};
    Configure(*api, easy.get(), HttpRequest{url, IpFamily::Any}, ms, &sink, errorText);
    const CURLcode rc = api->easy_perform(easy.get());
    Finish(*api, easy.get(), rc, sink, errorText, result);
    return result;
}

std::vector<HttpFetchResult> HttpGetAll(const std::vector<HttpRequest>& requests, std::chrono::milliseconds timeout,
                                        std::size_t maxBytes) {
    std::vector<HttpFetchResult> results(requests.size());
    std::string error;
    const std::shared_ptr<const CurlApi> api = AcquireCurl(&error);
    if (!api) {
        for (HttpFetchResult& r : results) r.error = error;
        return results;
    }
    struct MultiDeleter {
        const CurlApi* api;
        void operator()(CURLM* m) const { api->multi_cleanup(m); }
    };
    std::unique_ptr<CURLM, MultiDeleter> multi(api->multi_init(), MultiDeleter{api.get()});
    if (!multi) {
        for (HttpFetchResult& r : results) r.error = "cannot start HTTP requests";
        return results;
    }
    struct Transfer {
        std::unique_ptr<CURL, EasyDeleter> easy;
        Sink sink;
        char errorText[CURL_ERROR_SIZE] = {};
        bool done = false;
    };
    const long ms = Milliseconds(timeout);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::vector<std::unique_ptr<Transfer>> transfers;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        auto t = std::make_unique<Transfer>();
        t->easy = std::unique_ptr<CURL, EasyDeleter>(api->easy_init(), EasyDeleter{api.get()});
        t->sink = Sink{&results[i].body, maxBytes, deadline};
        if (!t->easy) {
            results[i].error = "cannot start an HTTP request";
            t->done = true;
        } else {
            Configure(*api, t->easy.get(), requests[i], ms, &t->sink, t->errorText);
            api->easy_setopt(t->easy.get(), CURLOPT_PRIVATE, reinterpret_cast<char*>(t.get()));
            api->multi_add_handle(multi.get(), t->easy.get());
        }
        transfers.push_back(std::move(t));
    }

    // Each transfer ends by its own time-out; the bound on the rounds only
    // guards against a library that never reports an end.
    int running = 1;
    for (int rounds = 0; running > 0 && rounds < 100000; ++rounds) {
        if (api->multi_perform(multi.get(), &running) != CURLM_OK) break;
        int queued = 0;
        while (CURLMsg* m = api->multi_info_read(multi.get(), &queued)) {
            if (m->msg != CURLMSG_DONE) continue;
            for (std::size_t i = 0; i < transfers.size(); ++i) {
                Transfer& t = *transfers[i];
                if (t.done || t.easy.get() != m->easy_handle) continue;
                Finish(*api, t.easy.get(), m->data.result, t.sink, t.errorText, results[i]);
                t.done = true;
            }
        }
        if (running == 0) break;
        if (Clock::now() > deadline + std::chrono::seconds(1)) break;
        api->multi_poll(multi.get(), nullptr, 0, 100, nullptr);
    }
    for (std::size_t i = 0; i < transfers.size(); ++i) {
        Transfer& t = *transfers[i];
        if (t.easy) api->multi_remove_handle(multi.get(), t.easy.get());
        if (!t.done) {
            results[i].error = "timed out";
            results[i].body.clear();
        }
    }
    return results;
}

}  // namespace zelmar
