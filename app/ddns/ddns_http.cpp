// The HTTPS requests of the HTTP providers and the checks they share.
//
// Every request goes over HTTPS with the peer's certificate and host name
// verified, never follows a redirect (it would carry the login or the token
// to another host), is bounded in time by "Timeout" and in size by
// kMaxAnswerBytes, and names Zelmar and its version as its agent (dyndns2
// providers block clients that do not). Tokens travel in a header or the
// query string and are masked in anything shown.
#include "app/ddns/ddns_http.h"

#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "app/address/curl_library.h"
#include "app/core/secret_text.h"
#include "app/core/text.h"
#include "app/core/version.h"
#include "app/ddns/ddns_protocols.h"
#include "net/default_timeout.h"

namespace zelmar {

namespace {

// Every documented answer of these APIs fits in a few kilobytes.
constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

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

}  // namespace

HttpsAnswer SendHttps(const HttpsRequest& q) {
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

std::string UrlEscape(const std::string& text) {
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

std::string ProviderBase(const DdnsEntry& e) {
    std::string base = DdnsServerOrDefault(e);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

std::string UrlEscapeList(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ",") + UrlEscape(s);
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

int AnswerGravity(AnswerClass c) {
    switch (c) {
        case AnswerClass::Unchanged: return 0;
        case AnswerClass::Updated: return 1;
        case AnswerClass::Retry: return 2;
        case AnswerClass::Stop: return 3;
    }
    return 3;
}

HttpsRequest ProviderRequest(const DdnsEntry& e, const DdnsAttempt& t, std::string method, std::string url) {
    HttpsRequest q;
    q.method = std::move(method);
    q.url = std::move(url);
    q.caFile = e.caFile;
    q.timeoutSeconds = t.timeoutSeconds;
    return q;
}

HttpsRequest JsonRequest(const DdnsEntry& e, const DdnsAttempt& t, const char* method, const std::string& url,
                         std::vector<std::string> headers, const nlohmann::json* body) {
    HttpsRequest q = ProviderRequest(e, t, method, url);
    q.headers = std::move(headers);
    q.headers.push_back("Content-Type: application/json");
    if (body) q.body = body->dump();
    return q;
}

std::string BearerHeader(const DdnsEntry& e) { return "Authorization: Bearer " + e.secret; }

bool JsonList(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const char* step, const char* member,
              bool missingIsEmpty, nlohmann::json& list, DeliveryResult& out) {
    nlohmann::json json;
    if (!CallJson(e, t, q, step, json, out)) return false;
    list = !*member ? json
           : json.is_object() ? json.value(member, missingIsEmpty ? nlohmann::json::array() : nlohmann::json())
                              : nlohmann::json();
    if (list.is_array()) return true;
    out = ProviderResult(e, t, "badjson", step, json.dump());
    return false;
}

bool ListRecords(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const RecordShape& shape,
                 const WantedRecord& w, const std::string& name, std::vector<FoundRecord>& found, DeliveryResult& out) {
    nlohmann::json list;
    if (!JsonList(e, t, q, "record lookup", shape.list, shape.missingIsEmpty, list, out)) return false;
    for (const nlohmann::json& r : list) {
        if (shape.type && JsonText(r, shape.type) != w.type) continue;
        if (shape.name && !EqualsNoCase(JsonText(r, shape.name), name)) continue;
        found.push_back({JsonText(r, shape.id), JsonText(r, shape.address)});
    }
    return true;
}

bool ZoneLookup::Find(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const std::string& wanted,
                      DeliveryResult& out) {
    if (!id.empty() && zone == wanted) return true;
    nlohmann::json zones;
    if (!JsonList(e, t, q, "zone lookup", list, true, zones, out)) return false;
    id.clear();
    for (const nlohmann::json& z : zones)
        if (EqualsNoCase(JsonText(z, nameKey), wanted)) id = JsonText(z, idKey);
    if (id.empty()) {
        out = ProviderResult(e, t, missing, "zone lookup", "no zone \"" + wanted + "\"");
        return false;
    }
    zone = wanted;
    return true;
}

bool ListHolds(const nlohmann::json& list, const char* typeKey, const char* addressKey, const WantedRecord& w) {
    if (!list.is_array()) return false;
    for (const nlohmann::json& r : list) {
        if (JsonText(r, typeKey) != w.type || !r.contains(addressKey)) continue;
        const nlohmann::json& a = r[addressKey];
        for (const nlohmann::json& one : a.is_array() ? a : nlohmann::json::array({a}))
            if (one.is_string() && SameAddress(one.get<std::string>(), w.address)) return true;
    }
    return false;
}

HttpsRequest RecordWrite(const DdnsEntry& e, const DdnsAttempt& t, const std::string& list, const std::string& id,
                         const char* change, std::vector<std::string> headers, const nlohmann::json& body) {
    return JsonRequest(e, t, id.empty() ? "POST" : change, id.empty() ? list : list + "/" + UrlEscape(id),
                       std::move(headers), &body);
}

DeliveryResult ProviderResult(const DdnsEntry& e, const DdnsAttempt& t, const std::string& word, const char* step,
                              const std::string& reply) {
    const AnswerRow* row = FindDdnsAnswer(e.protocol, word);
    if (!row) return ProviderResult(e, t, "unexpected", step, reply);
    return DdnsResult(row->action, row->answer, step, MaskReply(reply, e.secret), t.failures, t.now);
}

std::string JsonText(const nlohmann::json& j, const char* key) {
    if (!j.is_object() || !j.contains(key)) return {};
    const nlohmann::json& v = j[key];
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return v.dump();
    return {};
}

nlohmann::json ParseJson(const std::string& body) { return nlohmann::json::parse(body, nullptr, false); }

const AnswerRow* AnswerStarting(const DdnsEntry& e, const std::string& text) {
    for (const AnswerRow& row : ProviderOf(e.protocol).answers)
        if (text.rfind(row.answer, 0) == 0) return &row;
    return nullptr;
}

bool NamesOtherAddress(const std::string& text, const DdnsAddresses& sent) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(", \t\r\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(start, end - start);
        const bool isAddress = IsIpAddress(AF_INET, item) || IsIpAddress(AF_INET6, item);
        if (isAddress && !SameAddress(item, sent.a) && !SameAddress(item, sent.aaaa)) return true;
        start = end + 1;
    }
    return false;
}

std::string JsonErrorMessage(const std::string& body) {
    const nlohmann::json j = ParseJson(body);
    if (!j.is_object()) return {};
    for (const char* key : {"message", "detail", "error"})
        if (std::string m = JsonText(j, key); !m.empty()) return m;
    if (j.contains("errors") && j["errors"].is_array() && !j["errors"].empty())
        return JsonText(j["errors"][0], "message");
    return {};
}

bool CallJson(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const char* step,
              nlohmann::json& json, DeliveryResult& out) {
    const HttpsAnswer a = SendHttps(q);
    if (TransportFailed(a, e, t, step, out)) {
        if (const std::string message = JsonErrorMessage(a.body); !message.empty())
            out.serverReply = MaskReply(message, e.secret);
        return false;
    }
    json = a.body.empty() ? nlohmann::json() : ParseJson(a.body);
    if (json.is_discarded()) {
        out = ProviderResult(e, t, "badjson", step, a.body);
        return false;
    }
    return true;
}

std::string XmlTagText(const std::string& xml, const std::string& tag) {
    const std::size_t open = xml.find("<" + tag + ">");
    if (open == std::string::npos) return {};
    const std::size_t from = open + tag.size() + 2;
    const std::size_t close = xml.find("</" + tag + ">", from);
    return close == std::string::npos ? std::string() : xml.substr(from, close - from);
}

bool IsIpAddress(int family, const std::string& text) {
    unsigned char buf[16];
    return !text.empty() && inet_pton(family, text.c_str(), buf) == 1;
}

bool SameAddress(const std::string& reported, const std::string& sent) {
    for (const int family : {AF_INET, AF_INET6}) {
        unsigned char a[16], b[16];
        if (inet_pton(family, reported.c_str(), a) == 1 && inet_pton(family, sent.c_str(), b) == 1)
            return std::memcmp(a, b, family == AF_INET ? 4 : 16) == 0;
    }
    return false;
}

std::string ZoneOf(const DdnsEntry& e, const std::string& host) {
    if (!e.zone.empty()) return e.zone;
    // The registered domain is the usual zone: the name's last two labels.
    const std::size_t last = host.rfind('.');
    const std::size_t before = last == std::string::npos || last == 0 ? std::string::npos : host.rfind('.', last - 1);
    return before == std::string::npos ? host : host.substr(before + 1);
}

std::string RelativeName(const std::string& host, const std::string& zone, const char* apex) {
    std::string h = host;
    if (!h.empty() && h.back() == '.') h.pop_back();
    if (EqualsNoCase(h, zone)) return apex;
    if (h.size() > zone.size() + 1 && h[h.size() - zone.size() - 1] == '.' &&
        EqualsNoCase(h.substr(h.size() - zone.size()), zone))
        return h.substr(0, h.size() - zone.size() - 1);
    return h;
}

std::vector<WantedRecord> WantedRecords(const DdnsAddresses& want) {
    std::vector<WantedRecord> out;
    if (!want.a.empty()) out.push_back({"A", want.a});
    if (!want.aaaa.empty()) out.push_back({"AAAA", want.aaaa});
    return out;
}

DeliveryResult SyncRecords(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t,
                           const RecordCalls& calls) {
    bool changed = false;
    for (const std::string& host : e.hosts) {
        const std::string zone = ZoneOf(e, host);
        for (const WantedRecord& w : WantedRecords(want)) {
            std::vector<FoundRecord> found;
            DeliveryResult out;
            if (!calls.find(host, zone, w, found, out)) return out;
            if (found.size() == 1 && SameAddress(found[0].address, w.address)) continue;
            const std::string id = found.empty() ? std::string() : found[0].id;
            const char* step = id.empty() ? "create" : "update";
            std::optional<std::string> held;
            if (!calls.write(host, zone, w, id, held, out)) return out;
            if (held && !SameAddress(*held, w.address))
                return ProviderResult(e, t, "otheraddress", step, "the record holds \"" + *held + "\"");
            changed = true;
        }
    }
    return ProviderResult(e, t, changed ? calls.updated : calls.unchanged, changed ? "update" : "record lookup", "");
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
