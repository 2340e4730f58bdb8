// The HTTP dynamic-DNS protocols: dyndns2, DuckDNS and the Cloudflare API v4.
//
// Every request goes over HTTPS with the peer's certificate and host name
// verified, never follows a redirect (it would carry the login or the token
// to another host), is bounded in time by "Timeout" and in size by
// kMaxAnswerBytes, and names Zelmar and its version as its agent (dyndns2
// providers block clients that do not). Tokens travel in a header or the
// query string and are masked in anything shown.
#include <nlohmann/json.hpp>

#include <memory>

#include "app/address/curl_library.h"
#include "app/core/secret_text.h"
#include "app/core/version.h"
#include "app/ddns/ddns_protocols.h"
#include "net/default_timeout.h"

namespace zelmar {

namespace {

// Every documented answer of these APIs fits in a few kilobytes.
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

struct HttpsRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers;
    std::string body;
    std::string user;
    std::string password;
    std::string caFile;
    int timeoutSeconds = 15;
};

struct HttpsAnswer {
    std::string code;  // empty: an answer came; else a transport word
    std::string error;
    long status = 0;
    std::string body;
};

struct Sink {
    std::string* body;
    bool cut = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::size_t n = size * count;
    if (sink->body->size() + n > kMaxAnswerBytes) {
        sink->cut = true;
        return 0;
    }
    sink->body->append(data, n);
    return n;
}

HttpsAnswer Send(const HttpsRequest& q) {
    HttpsAnswer a;
    std::string loadError;
    const std::shared_ptr<const CurlApi> api = AcquireCurl(&loadError);
    if (!api) {
        a.code = "network";
        a.error = loadError;
        return a;
    }
    CURL* c = api->easy_init();
    if (!c) {
        a.code = "network";
        a.error = "cannot start an HTTPS request";
        return a;
    }
    curl_slist* headers = nullptr;
    for (const std::string& h : q.headers) headers = api->slist_append(headers, h.c_str());
    char errorText[CURL_ERROR_SIZE] = {};
    Sink sink{&a.body};
    const std::string agent = std::string("Zelmar/") + kProductVersion;
    const long ms = 1000L * TimeoutOrDefault(q.timeoutSeconds);

    api->easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    api->easy_setopt(c, CURLOPT_URL, q.url.c_str());
    api->easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    api->easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    api->easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!q.caFile.empty()) api->easy_setopt(c, CURLOPT_CAINFO, q.caFile.c_str());
    api->easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    api->easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    api->easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());
    api->easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    api->easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    if (headers) api->easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    if (!q.user.empty()) {
        api->easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        api->easy_setopt(c, CURLOPT_USERNAME, q.user.c_str());
        api->easy_setopt(c, CURLOPT_PASSWORD, q.password.c_str());
    }
    if (q.method != "GET") {
        api->easy_setopt(c, CURLOPT_CUSTOMREQUEST, q.method.c_str());
        api->easy_setopt(c, CURLOPT_POSTFIELDS, q.body.c_str());
        api->easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(q.body.size()));
    }
    const CURLcode rc = api->easy_perform(c);
    api->easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
    if (sink.cut) {
        a.code = "toolong";
        a.error = "the answer was longer than 64 KiB";
    } else if (rc == CURLE_OPERATION_TIMEDOUT) {
        a.code = "timeout";
        a.error = "no answer within " + std::to_string(q.timeoutSeconds) + " s";
    } else if (rc == CURLE_PEER_FAILED_VERIFICATION || rc == CURLE_SSL_CONNECT_ERROR ||
               rc == CURLE_SSL_CACERT_BADFILE || rc == CURLE_SSL_CERTPROBLEM) {
        a.code = "tls";
        a.error = *errorText ? errorText : api->easy_strerror(rc);
    } else if (rc != CURLE_OK) {
        a.code = "network";
        a.error = *errorText ? errorText : api->easy_strerror(rc);
    }
    if (headers) api->slist_free_all(headers);
    api->easy_cleanup(c);
    // A server that echoes the request shows the Basic login too.
    if (!q.user.empty()) {
        const std::vector<std::string> forms = SecretForms(q.password, q.user);
        a.body = WithoutSecretForms(a.body, forms, "****");
        a.error = WithoutSecretForms(a.error, forms, "****");
    }
    return a;
}

std::string Escape(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : text) {
        const bool plain = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                           ch == '-' || ch == '.' || ch == '_' || ch == '~';
        if (plain) {
            out.push_back(static_cast<char>(ch));
        } else {
            out.push_back('%');
            out.push_back(kHex[ch >> 4]);
            out.push_back(kHex[ch & 15]);
        }
    }
    return out;
}

std::string Base(const DdnsEntry& e) {
    std::string base = DdnsServerOrDefault(e);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string JoinEscaped(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ",") + Escape(s);
    return out;
}

// A failed transfer, or an HTTP status that decides by itself.
bool TransportFailed(const HttpsAnswer& a, const DdnsEntry& e, const DdnsAttempt& t, const char* step,
                     DeliveryResult& out) {
    if (!a.code.empty()) {
        const AnswerRow* row = FindDdnsAnswer(e.protocol, a.code);
        out = DdnsResult(row ? row->action : AnswerClass::Retry, a.code, step, MaskReply(a.error, e.secret),
                         t.failures, t.now);
        return true;
    }
    const AnswerClass byStatus = DdnsHttpStatusClass(a.status);
    if (byStatus != AnswerClass::Updated) {
        out = DdnsResult(byStatus, "HTTP " + std::to_string(a.status), step, MaskReply(a.body, e.secret), t.failures,
                         t.now);
        return true;
    }
    return false;
}

// When several names answer at once, the gravest answer decides.
int Gravity(AnswerClass c) {
    switch (c) {
        case AnswerClass::Unchanged: return 0;
        case AnswerClass::Updated: return 1;
        case AnswerClass::Retry: return 2;
        case AnswerClass::Stop: return 3;
    }
    return 3;
}

}  // namespace

DeliveryResult Dyndns2Deliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    HttpsRequest q;
    std::string myip = want.a;
    if (!want.aaaa.empty()) myip += (myip.empty() ? "" : ",") + want.aaaa;
    q.url = Base(e) + "/nic/update?hostname=" + JoinEscaped(e.hosts) + "&myip=" + Escape(myip);
    q.user = e.login;
    q.password = e.secret;
    q.caFile = e.caFile;
    q.timeoutSeconds = t.timeoutSeconds;
    const HttpsAnswer a = Send(q);
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) return out;

    // One line per name, in the order asked: "good 192.0.2.7", "nochg ...".
    const AnswerRow* worst = nullptr;
    std::string worstLine;
    std::size_t start = 0;
    int lines = 0;
    while (start < a.body.size()) {
        std::size_t end = a.body.find('\n', start);
        if (end == std::string::npos) end = a.body.size();
        std::string line = a.body.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        ++lines;
        const std::string word = line.substr(0, line.find(' '));
        const AnswerRow* row = FindDdnsAnswer(DdnsProtocol::Dyndns2, word);
        if (!row) row = FindDdnsAnswer(DdnsProtocol::Dyndns2, "unexpected");
        if (!worst || Gravity(row->action) > Gravity(worst->action)) {
            worst = row;
            worstLine = line;
        }
    }
    if (!worst || lines == 0) {
        return DdnsResult(AnswerClass::Retry, "unexpected", "update", MaskReply(a.body, e.secret), t.failures, t.now);
    }
    return DdnsResult(worst->action, worst->answer, "update", MaskReply(worstLine, e.secret), t.failures, t.now);
}

DeliveryResult DuckDnsDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    // DuckDNS takes the names without its own domain.
    std::vector<std::string> names;
    const std::string suffix = ".duckdns.org";
    for (std::string h : e.hosts) {
        if (!h.empty() && h.back() == '.') h.pop_back();
        if (h.size() > suffix.size() && EqualsNoCase(h.substr(h.size() - suffix.size()), suffix))
            h.resize(h.size() - suffix.size());
        names.push_back(h);
    }
    HttpsRequest q;
    q.url = Base(e) + "/update?domains=" + JoinEscaped(names) + "&token=" + Escape(e.secret) + "&ip=" + Escape(want.a);
    if (!want.aaaa.empty()) q.url += "&ipv6=" + Escape(want.aaaa);
    q.caFile = e.caFile;
    q.timeoutSeconds = t.timeoutSeconds;
    const HttpsAnswer a = Send(q);
    DeliveryResult out;
    if (TransportFailed(a, e, t, "update", out)) return out;
    // "OK" or "KO", with verbose=true followed by more lines.
    std::string word = a.body.substr(0, a.body.find_first_of(" \t\r\n"));
    const AnswerRow* row = FindDdnsAnswer(DdnsProtocol::DuckDns, word);
    if (!row) word = "unexpected", row = FindDdnsAnswer(DdnsProtocol::DuckDns, word);
    return DdnsResult(row->action, word, "update", MaskReply(a.body, e.secret), t.failures, t.now);
}

namespace {

struct Cloudflare {
    const DdnsEntry& e;
    const DdnsAttempt& t;

    HttpsAnswer Call(const std::string& method, const std::string& path, const nlohmann::json* body = nullptr) const {
        HttpsRequest q;
        q.method = method;
        q.url = Base(e) + path;
        q.headers = {"Authorization: Bearer " + e.secret, "Content-Type: application/json"};
        if (body) q.body = body->dump();
        q.caFile = e.caFile;
        q.timeoutSeconds = t.timeoutSeconds;
        return Send(q);
    }

    // The answer's JSON when the call worked (HTTP 2xx and "success": true);
    // otherwise out holds the result that ends the attempt.
    bool Parse(const HttpsAnswer& a, const char* step, nlohmann::json& json, DeliveryResult& out) const {
        if (TransportFailed(a, e, t, step, out)) {
            // Cloudflare explains a refusal in its JSON errors; show that
            // rather than the raw body.
            const nlohmann::json j = nlohmann::json::parse(a.body, nullptr, false);
            if (!j.is_discarded() && j.is_object() && j.contains("errors") && j["errors"].is_array() &&
                !j["errors"].empty() && j["errors"][0].is_object() && j["errors"][0].contains("message") &&
                j["errors"][0]["message"].is_string())
                out.serverReply = MaskReply(j["errors"][0]["message"].get<std::string>(), e.secret);
            return false;
        }
        json = nlohmann::json::parse(a.body, nullptr, false);
        if (json.is_discarded() || !json.is_object() || !json.contains("success") || !json["success"].is_boolean()) {
            out = DdnsResult(AnswerClass::Retry, "badjson", step, MaskReply(a.body, e.secret), t.failures, t.now);
            return false;
        }
        if (!json["success"].get<bool>()) {
            out = DdnsResult(AnswerClass::Stop, "failure", step, MaskReply(json.value("errors", nlohmann::json()).dump(), e.secret),
                             t.failures, t.now);
            return false;
        }
        if (!json.contains("result")) {
            out = DdnsResult(AnswerClass::Retry, "badjson", step, "no \"result\" in the answer", t.failures, t.now);
            return false;
        }
        return true;
    }

    static std::string Text(const nlohmann::json& j, const char* key) {
        return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : std::string();
    }
};

}  // namespace

DeliveryResult CloudflareDeliver(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t) {
    const Cloudflare api{e, t};
    std::string zone = e.zone;
    if (zone.empty() && !e.hosts.empty()) {
        // The registered domain is the usual zone: the name's last two labels.
        const std::string& h = e.hosts.front();
        const std::size_t last = h.rfind('.');
        const std::size_t before = last == std::string::npos || last == 0 ? std::string::npos : h.rfind('.', last - 1);
        zone = before == std::string::npos ? h : h.substr(before + 1);
    }
    nlohmann::json json;
    DeliveryResult out;
    if (!api.Parse(api.Call("GET", "/zones?name=" + Escape(zone)), "zone lookup", json, out)) return out;
    const nlohmann::json& zones = json["result"];
    const std::string zoneId = zones.is_array() && !zones.empty() ? Cloudflare::Text(zones[0], "id") : std::string();
    if (zoneId.empty()) {
        return DdnsResult(AnswerClass::Stop, "nozone", "zone lookup", "no zone \"" + zone + "\"", t.failures, t.now);
    }
    bool changed = false;
    for (const std::string& host : e.hosts) {
        for (const bool aaaa : {false, true}) {
            const std::string& address = aaaa ? want.aaaa : want.a;
            if (address.empty()) continue;
            const char* type = aaaa ? "AAAA" : "A";
            const std::string records = "/zones/" + Escape(zoneId) + "/dns_records";
            if (!api.Parse(api.Call("GET", records + "?type=" + type + "&name=" + Escape(host)), "record lookup", json,
                           out))
                return out;
            const nlohmann::json& found = json["result"];
            std::string recordId;
            if (found.is_array() && !found.empty()) {
                recordId = Cloudflare::Text(found[0], "id");
                if (found.size() == 1 && Cloudflare::Text(found[0], "content") == address) continue;
            }
            nlohmann::json body = {{"type", type}, {"name", host}, {"content", address}, {"ttl", e.ttl}};
            if (recordId.empty()) {
                body["proxied"] = false;
                if (!api.Parse(api.Call("POST", records, &body), "create", json, out)) return out;
            } else {
                if (!api.Parse(api.Call("PATCH", records + "/" + Escape(recordId), &body), "update", json, out))
                    return out;
            }
            changed = true;
        }
    }
    return changed ? DdnsResult(AnswerClass::Updated, "success", "update", {}, t.failures, t.now)
                   : DdnsResult(AnswerClass::Unchanged, "unchanged", "record lookup", {}, t.failures, t.now);
}

std::string DdnsMeaning(DdnsProtocol p, const std::string& code) {
    if (const AnswerRow* row = FindDdnsAnswer(p, code)) return row->meaning;
    if (code.rfind("HTTP ", 0) == 0) {
        const long status = std::stol(code.substr(5));
        if (status == 401 || status == 403) return "the login or token was refused (" + code + ")";
        if (status == 404) return "the server has no such API (" + code + "): check \"Server\"";
        if (status >= 300 && status < 400) return "the server redirects elsewhere (" + code + "): check \"Server\"";
        if (DdnsHttpStatusClass(status) == AnswerClass::Retry) return "the server is in trouble (" + code + ")";
        return "the server refused the request (" + code + ")";
    }
    return code;
}

}  // namespace zelmar
