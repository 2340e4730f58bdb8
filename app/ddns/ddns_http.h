// What every HTTP provider shares: one HTTPS request (verified peer, no
// redirects, bounded in time and size, Zelmar's agent), the URL and JSON
// helpers, and the checks that turn an answer into a result. A provider
// file builds its requests and names its answers; nothing else.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ddns/ddns_provider.h"
#include "app/ddns/ddns_protocols.h"

namespace zelmar {

struct HttpsRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::string> headers;
    std::string body;
    std::string user;  // HTTP Basic, when not empty
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

HttpsAnswer SendHttps(const HttpsRequest& q);

// Percent-encoding of a URL's query value or path segment.
std::string UrlEscape(const std::string& text);
std::string UrlEscapeList(const std::vector<std::string>& items);
// The entry's server (or the provider's), without a trailing slash.
std::string ProviderBase(const DdnsEntry& e);

// A request to the entry's provider: its CA file and the attempt's timeout
// filled in.
HttpsRequest ProviderRequest(const DdnsEntry& e, const DdnsAttempt& t, std::string method, std::string url);

// A failed transfer, or an HTTP status that decides by itself (a non-2xx).
bool TransportFailed(const HttpsAnswer& a, const DdnsEntry& e, const DdnsAttempt& t, const char* step,
                     DeliveryResult& out);

// A JSON API call: "Content-Type: application/json" after the given
// headers (its authentication), and body written out when there is one.
HttpsRequest JsonRequest(const DdnsEntry& e, const DdnsAttempt& t, const char* method, const std::string& url,
                         std::vector<std::string> headers, const nlohmann::json* body = nullptr);
// The request with the entry's login and secret as HTTP Basic.
inline HttpsRequest WithLogin(const DdnsEntry& e, HttpsRequest q) {
    q.user = e.login;
    q.password = e.secret;
    return q;
}
// The header of the APIs that take the secret as an OAuth-style bearer token.
std::string BearerHeader(const DdnsEntry& e);

// The result for one of the provider's words (or a shared one: "unexpected",
// "otheraddress" ...); reply is shown masked.
DeliveryResult ProviderResult(const DdnsEntry& e, const DdnsAttempt& t, const std::string& word, const char* step,
                              const std::string& reply);

// One JSON call: true with json filled when a 2xx answer holding JSON came
// (an empty 2xx body counts as null); otherwise out ends the attempt, with
// the API's own explanation ("message", "errors"[0]...) as the reply.
bool CallJson(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const char* step,
              nlohmann::json& json, DeliveryResult& out);
// The explanation an API gives in a JSON error answer; "" when none.
std::string JsonErrorMessage(const std::string& body);

// The row of the provider's table whose word begins text (answers that are
// sentences: "Updated 1 host(s) ..."); nullptr when none does.
const AnswerRow* AnswerStarting(const DdnsEntry& e, const std::string& text);
// Whether text names an address (any blank- or comma-separated item that
// is one) that the request did not send.
bool NamesOtherAddress(const std::string& text, const DdnsAddresses& sent);

// When several names answer at once, the gravest answer decides.
int AnswerGravity(AnswerClass c);

// A JSON answer's member as text: a string as it is, a number written out
// (APIs give ids either way), anything else empty.
std::string JsonText(const nlohmann::json& j, const char* key);
// The body as JSON; a discarded value when it is none.
nlohmann::json ParseJson(const std::string& body);

// The text of the first <tag>...</tag> of an XML answer, "" when there is
// none: the answers read with it are flat lists of such elements, without
// attributes or nesting that matters.
std::string XmlTagText(const std::string& xml, const std::string& tag);

// Whether text is one address of the family (AF_INET, AF_INET6).
bool IsIpAddress(int family, const std::string& text);
// Whether an address the provider reports is one the request sent
// (compared as addresses, so "2001:db8::7" matches "2001:DB8:0::7").
bool SameAddress(const std::string& reported, const std::string& sent);

// The names of the entry relative to a zone: "home" for home.example.org in
// example.org, "@" for the zone itself (or "" with apex ""). An entry's
// zone, or the name's last two labels when it has none.
std::string ZoneOf(const DdnsEntry& e, const std::string& host);
std::string RelativeName(const std::string& host, const std::string& zone, const char* apex = "@");

// The addresses an update sets, one (type, address) pair per wanted record.
struct WantedRecord {
    const char* type;  // "A" or "AAAA"
    std::string address;
};
std::vector<WantedRecord> WantedRecords(const DdnsAddresses& want);

}  // namespace zelmar

namespace zelmar {

// The providers whose API works record by record: for each name and each
// wanted type, find the records, leave them when there is one holding the
// address, else change the first (or create one), and check the address the
// API reports it now holds. A provider gives the three calls.
struct FoundRecord {
    std::string id;
    std::string address;
};
struct RecordCalls {
    // The records of host (in zone) of w's type; false with out set when
    // the call failed.
    std::function<bool(const std::string& host, const std::string& zone, const WantedRecord& w,
                       std::vector<FoundRecord>& found, DeliveryResult& out)>
        find;
    // Changes record id (or creates one when id is empty) to w's address;
    // held gets the address the answer reports, left untouched when the API
    // answers without one.
    std::function<bool(const std::string& host, const std::string& zone, const WantedRecord& w, const std::string& id,
                       std::optional<std::string>& held, DeliveryResult& out)>
        write;
    const char* updated = "updated";  // the provider's words for the two outcomes
    const char* unchanged = "unchanged";
};
// How an API lists records: the answer's member holding the list ("" for
// the answer itself, a list) and each record's members. With type and name
// set, the list holds the zone's every record and is filtered here; without,
// the API filtered it already.
struct RecordShape {
    const char* list;
    const char* address;
    const char* type = nullptr;
    const char* name = nullptr;
    const char* id = "id";
    bool missingIsEmpty = false;  // an answer without the list means no record
};
// A call answering a list, at member of the answer ("" the answer itself);
// false with out set when the call failed or the list is not there.
bool JsonList(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const char* step, const char* member,
              bool missingIsEmpty, nlohmann::json& list, DeliveryResult& out);
// The APIs that address a zone by an id of their own: the id is found in
// the listing of the account's zones once per zone, and kept.
struct ZoneLookup {
    const char* list;                // the listing's member holding the zones ("" the answer itself)
    const char* nameKey = "name";    // each zone's name and id
    const char* idKey = "id";
    const char* missing = "nozone";  // the word when the zone is not listed
    std::string zone = {}, id = {};  // the last zone found, and its id
    // True with id set for wanted; q lists the zones (asked only when
    // wanted is not the zone found last).
    bool Find(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const std::string& wanted,
              DeliveryResult& out);
};
// Whether a list of records holds w: one of its type whose address member
// (a string, or a list of them) names w's address.
bool ListHolds(const nlohmann::json& list, const char* typeKey, const char* addressKey, const WantedRecord& w);

// One listing call of RecordCalls::find: the records of w's type named name
// (relative to the zone, "" for its apex) into found.
bool ListRecords(const DdnsEntry& e, const DdnsAttempt& t, const HttpsRequest& q, const RecordShape& shape,
                 const WantedRecord& w, const std::string& name, std::vector<FoundRecord>& found, DeliveryResult& out);
// The request of RecordCalls::write for a REST collection: POST to list to
// create (id empty), change (PATCH, PUT) list/ID otherwise.
HttpsRequest RecordWrite(const DdnsEntry& e, const DdnsAttempt& t, const std::string& list, const std::string& id,
                         const char* change, std::vector<std::string> headers, const nlohmann::json& body);
inline const char* WriteStep(const std::string& id) { return id.empty() ? "create" : "update"; }

DeliveryResult SyncRecords(const DdnsEntry& e, const DdnsAddresses& want, const DdnsAttempt& t,
                           const RecordCalls& calls);

}  // namespace zelmar
