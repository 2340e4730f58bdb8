#include "app/notify/webhook.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "app/address/curl_library.h"
#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/secret_text.h"
#include "app/core/text.h"
#include "app/notify/masked_text.h"
#include "app/notify/webhook_secret.h"
#include "app/publish/ftp_page_settings.h"
#include "app/refresh/channel_record.h"
#include "net/default_timeout.h"
#include "app/refresh/secret_guard.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

// What of a server's answer or a transfer error reaches the log.
constexpr std::size_t kLoggedAnswerChars = 200;
// The most of an answer that is kept (only its first line is used).
constexpr std::size_t kMaxAnswerBytes = 4096;

std::string LowerAscii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsOn(const std::string& value, bool missing) {
    if (TrimBlanks(value).empty()) return missing;
    return LeadingInt(value) == 1;
}

std::string TwoDigits(int n) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d", n);
    return b;
}

constexpr const char* kWeekdayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// The value of a page token at the start of text, and its length; the
// longest token wins ("%WI" over "%W", "%24T" is a token of its own).
std::optional<std::pair<std::string, std::size_t>> FixedToken(std::string_view text, const PageValues& v) {
    const std::tm& t = v.time;
    const std::string year = std::to_string(t.tm_year + 1900);
    const std::string date = TwoDigits(t.tm_mon + 1) + "/" + TwoDigits(t.tm_mday) + "/" + year;
    const std::string time24 = TwoDigits(t.tm_hour) + ":" + TwoDigits(t.tm_min) + ":" + TwoDigits(t.tm_sec);
    const std::pair<std::string_view, std::string> tokens[] = {
        {"%WI", v.wanAddress},
        {"%24T", time24},
        {"%I", v.lanAddress},
        {"%D", date},
        {"%T", TwelveHourTime(t)},
        {"%W", t.tm_wday >= 0 && t.tm_wday <= 6 ? kWeekdayNames[t.tm_wday] : ""},
        {"%H", v.siteName},
        {"%S", v.statusWord},
        {"%m", TwoDigits(t.tm_mon + 1)},
        {"%d", TwoDigits(t.tm_mday)},
        {"%y", year},
    };
    for (const auto& [token, value] : tokens)
        if (text.substr(0, token.size()) == token) return std::make_pair(value, token.size());
    // "%P<n>": the longest index that names a watched program.
    if (text.substr(0, 2) == "%P") {
        std::size_t digits = 0;
        while (2 + digits < text.size() && digits < 6 && std::isdigit(static_cast<unsigned char>(text[2 + digits])))
            ++digits;
        for (; digits > 0; --digits) {
            const std::string index(text.substr(2, digits));
            if (digits > 1 && index[0] == '0') continue;
            const std::size_t i = std::stoul(index);
            if (i < v.programWords.size()) return std::make_pair(v.programWords[i], 2 + digits);
        }
    }
    return std::nullopt;
}

// One left-to-right pass over both kinds of token. Unlike a page, whose
// tokens are replaced one kind after the other, a value is never scanned
// again: an address or a secret that happens to hold "%d" or "%{secret}"
// lands as it is.
std::string ExpandRequestText(std::string_view text, const PageValues& v, const BraceEscape& escape) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t at = text.find('%', pos);
        if (at == std::string_view::npos) break;
        out.append(text.substr(pos, at - pos));
        const std::string_view rest = text.substr(at);
        if (rest.substr(0, 2) == "%{") {
            const std::size_t close = rest.find('}');
            if (close != std::string_view::npos && close - 2 <= 64) {
                const auto it = v.braceValues.find(rest.substr(2, close - 2));
                if (it != v.braceValues.end()) {
                    out += escape ? escape(it->second) : it->second;
                    pos = at + close + 1;
                    continue;
                }
            }
        } else if (auto token = FixedToken(rest, v)) {
            out += escape ? escape(token->first) : token->first;
            pos = at + token->second;
            continue;
        }
        out.push_back('%');
        pos = at + 1;
    }
    out.append(text.substr(pos));
    return out;
}

bool HasControl(std::string_view s) {
    for (const char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

}  // namespace

bool WebhookConfig::JsonBody() const { return LowerAscii(contentType).find("json") != std::string::npos; }

std::vector<WebhookConfig> ReadWebhooks(const IniFile& ini, const std::string& scrambleKey, int defaultTimeout) {
    std::vector<WebhookConfig> hooks;
    const std::string prefix = LowerAscii(kWebhookSectionPrefix);
    for (const std::string& section : ini.GetSectionNames()) {
        if (section.size() <= prefix.size() || LowerAscii(section.substr(0, prefix.size())) != prefix) continue;
        WebhookConfig hook;
        hook.name = TrimBlanks(section.substr(prefix.size()));
        if (hook.name.empty()) continue;
        hook.timeoutSeconds = TimeoutOrDefault(defaultTimeout);
        for (const auto& [key, value] : ini.GetSection(section)) {
            const std::string k = LowerAscii(key);
            if (k == "url") hook.url = value;
            else if (k == "method") hook.method = UpperAscii(TrimBlanks(value));
            else if (k == "headers") hook.headers = value;
            else if (k == "body") hook.body = value;
            else if (k == "contenttype") hook.contentType = value;
            else if (k == "enabled") hook.enabled = IsOn(value, true);
            else if (k == "onchangeonly") hook.onChangeOnly = IsOn(value, true);
            else if (k == "cafile") hook.caFile = value;
            else if (k == "timeout" && LeadingInt(value) > 0) hook.timeoutSeconds = static_cast<int>(LeadingInt(value));
        }
        if (hook.method.empty()) hook.method = "POST";
        hook.secret = ReadWebhookSecret(ini, hook.name, scrambleKey, &hook.secretProblem);
        hooks.push_back(std::move(hook));
    }
    return hooks;
}

std::string JsonStringContent(std::string_view value) {
    const std::string quoted =
        nlohmann::json(std::string(value)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

std::string PercentEncoded(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

bool BuildWebhookRequest(const WebhookConfig& hook, const PageValues& pageValues, WebhookRequest& request,
                         std::string& error) {
    PageValues v = pageValues;
    v.braceValues["secret"] = hook.secret;
    if (hook.method != "GET" && hook.method != "POST" && hook.method != "PUT") {
        error = "the method must be GET, POST or PUT";
        return false;
    }
    const std::string scheme = LowerAscii(hook.url.substr(0, 8));
    if (scheme.rfind("http://", 0) != 0 && scheme.rfind("https://", 0) != 0) {
        error = "the URL must start with http:// or https://";
        return false;
    }
    request = {};
    request.method = hook.method;

    // Only the query is encoded: what the user wrote before the "?" (and
    // after a "#") is the address itself and stays as written.
    const std::size_t query = hook.url.find('?');
    const std::size_t fragment = hook.url.find('#', query == std::string::npos ? 0 : query);
    const std::string_view url = hook.url;
    request.url = ExpandRequestText(url.substr(0, std::min(query, fragment)), v, {});
    if (query != std::string::npos && query < fragment)
        request.url += ExpandRequestText(url.substr(query, fragment - query), v, PercentEncoded);
    if (fragment != std::string::npos) request.url += ExpandRequestText(url.substr(fragment), v, {});
    if (HasControl(request.url) || request.url.find(' ') != std::string::npos) {
        error = "the URL holds blanks or control characters after the tokens were replaced";
        return false;
    }

    std::size_t start = 0;
    while (start <= hook.headers.size()) {
        const std::size_t bar = std::min(hook.headers.find('|', start), hook.headers.size());
        const std::string line = TrimBlanks(hook.headers.substr(start, bar - start));
        start = bar + 1;
        if (line.empty()) continue;
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos) {
            error = "a header is not of the form \"Name: value\"";
            return false;
        }
        const std::string expanded = ExpandRequestText(line, v, {});
        // A value with a line break would add a header (or a body) of its own.
        if (HasControl(expanded)) {
            error = "a header holds a line break or control character after the tokens were replaced";
            return false;
        }
        request.headers.push_back(expanded);
    }
    bool typeGiven = false;
    for (const std::string& h : request.headers) typeGiven = typeGiven || LowerAscii(h).rfind("content-type:", 0) == 0;

    if (hook.method != "GET") {
        // An empty body is a plain trigger (a Home Assistant webhook needs
        // nothing more), whatever the content type says.
        if (hook.JsonBody() && !TrimBlanks(hook.body).empty()) {
            request.body = ExpandRequestText(hook.body, v, JsonStringContent);
            try {
                const nlohmann::json parsed = nlohmann::json::parse(request.body);
                (void)parsed;
            } catch (const nlohmann::json::parse_error& e) {
                error = "the body is not valid JSON after the tokens were replaced (at byte " +
                        std::to_string(e.byte) + ")";
                return false;
            }
        } else {
            request.body = ExpandRequestText(hook.body, v, {});
        }
        if (!typeGiven && !TrimBlanks(hook.contentType).empty())
            request.headers.push_back("Content-Type: " + TrimBlanks(hook.contentType));
    }
    return true;
}

namespace {

struct AnswerSink {
    std::string body;
};

std::size_t KeepAnswer(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<AnswerSink*>(user);
    const std::size_t n = size * count;
    if (sink->body.size() < kMaxAnswerBytes)
        sink->body.append(data, std::min(n, kMaxAnswerBytes - sink->body.size()));
    return n;
}

}  // namespace

WebhookAnswer SendWebhook(const WebhookRequest& request, int timeoutSeconds, const std::string& caFile) {
    WebhookAnswer answer;
    const std::shared_ptr<const CurlApi> api = AcquireCurl(&answer.error);
    if (!api) return answer;
    CURL* c = api->easy_init();
    if (!c) {
        answer.error = "cannot start an HTTP request";
        return answer;
    }
    curl_slist* headers = nullptr;
    for (const std::string& h : request.headers) headers = api->slist_append(headers, h.c_str());
    // curl adds "Expect: 100-continue" to larger bodies; many webhook
    // receivers never answer it, which costs a second per request.
    headers = api->slist_append(headers, "Expect:");

    char errorText[CURL_ERROR_SIZE] = {};
    const long ms = 1000L * TimeoutOrDefault(timeoutSeconds);
    AnswerSink sink;
    api->easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    api->easy_setopt(c, CURLOPT_URL, request.url.c_str());
    api->easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    api->easy_setopt(c, CURLOPT_USERAGENT, "Zelmar");
    api->easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    api->easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api->easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
    api->easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    api->easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    api->easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) api->easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
    api->easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    api->easy_setopt(c, CURLOPT_WRITEFUNCTION, KeepAnswer);
    api->easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    if (request.method == "GET") {
        api->easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else {
        api->easy_setopt(c, CURLOPT_POSTFIELDS, request.body.c_str());
        api->easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        if (request.method == "PUT") api->easy_setopt(c, CURLOPT_CUSTOMREQUEST, "PUT");
    }
    const CURLcode rc = api->easy_perform(c);
    api->easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    api->easy_cleanup(c);
    api->slist_free_all(headers);

    const std::string first = sink.body.substr(0, sink.body.find_first_of("\r\n"));
    // Cut to the log's length only after the secret is masked (Deliver).
    answer.firstLine = MaskedForLog(first, kMaxAnswerBytes);
    if (rc != CURLE_OK) {
        answer.error = MaskedForLog(errorText[0] != '\0' ? errorText : api->easy_strerror(rc), kMaxAnswerBytes);
        answer.status = 0;
        return answer;
    }
    answer.delivered = answer.status >= 200 && answer.status <= 299;
    return answer;
}

PageValues WebhookPageValues(const RefreshSnapshot& snapshot, const std::string& siteName) {
    PageValues v;
    // Programs read the values: unknown is empty here.
    v.wanAddress = snapshot.current.wan.Plain();
    v.lanAddress = snapshot.current.lan.Plain();
    v.siteName = siteName;
    v.statusWord = snapshot.online() ? "Online" : "Offline";
    const std::time_t t = std::chrono::system_clock::to_time_t(snapshot.time);
    localtime_r(&t, &v.time);
    for (const ProgramStatusEntry& p : snapshot.programs) v.programWords.push_back(p.statusWord);
    v.braceValues = {
        {"wan", snapshot.current.wan.Plain()},       {"lan", snapshot.current.lan.Plain()},
        {"wan6", snapshot.current.wan6.Plain()},     {"lan6", snapshot.current.lan6.Plain()},
        {"old_wan", snapshot.previous.wan.Plain()},  {"old_lan", snapshot.previous.lan.Plain()},
        {"old_wan6", snapshot.previous.wan6.Plain()},
    };
    return v;
}

bool WebhookChannel::Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const {
    failures_ = record.failures;
    // A failed lookup is no change to announce; an address the peer has not
    // had yet (it never got one, or was told "unknown") is.
    return !config_.onChangeOnly || snapshot.forced() ||
           ChangesBetween(record.delivered, snapshot.current, UnknownIs::NoChangeWhenUnknownNow).any();
}

std::string WebhookChannel::SettingsFingerprint() const {
    // The secret counts too (a new token restarts a refused hook) without
    // being written into the record: only a keyed digest is.
    return SecretFingerprint(fingerprintKey_, config_.url + '\n' + config_.method + '\n' + config_.headers + '\n' +
                                                  config_.body + '\n' + config_.contentType + '\n' + config_.caFile,
                             config_.secret);
}

DeliveryResult WebhookChannel::Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) {
    const std::string label = Name() + ": ";
    const auto clean = [this](const std::string& text) {
        std::vector<std::string> forms = SecretForms(config_.secret);
        forms.push_back(JsonStringContent(config_.secret));
        return MaskedForLog(WithoutSecretForms(text, forms), kLoggedAnswerChars);
    };
    PageValues values = WebhookPageValues(snapshot, siteName_);
    if (extra_)
        for (auto& [name, value] : extra_(snapshot)) values.braceValues[name] = value;

    WebhookRequest request;
    std::string error;
    if (!BuildWebhookRequest(config_, values, request, error)) {
        reporter.Post(Message<Msg::WebhookNotSent>(label, error));
        // The settings say what to send: the same settings refuse again.
        return {DeliveryOutcome::FailedPermanently, "template", "expand", error, 0};
    }
    const WebhookAnswer answer = SendWebhook(request, config_.timeoutSeconds, config_.caFile);
    if (answer.delivered) {
        reporter.Post(Message<Msg::WebhookDelivered>(label, answer.status));
        return DeliveryResult::Success();
    }
    DeliveryResult result;
    result.outcome = DeliveryOutcome::Failed;
    result.step = "request";
    if (answer.status == 0) {
        result.code = "transfer";
        result.serverReply = clean(answer.error);
        reporter.Post(Message<Msg::WebhookNotDelivered>(label, result.serverReply));
    } else {
        result.code = std::to_string(answer.status);
        // The service answered and refused (a wrong token, a server fault):
        // asking again at every refresh would not change its mind sooner
        // and may get the account blocked, so the next try waits as a
        // dynamic-DNS entry's would.
        result.retryAt = EpochSeconds(snapshot.time) + RetryBackoffSeconds(failures_);
        result.serverReply = clean(answer.firstLine);
        reporter.Post(Message<Msg::WebhookRefused>(label, result.code,
                                                   result.serverReply.empty() ? "" : ": " + result.serverReply));
    }
    return result;
}

std::vector<std::unique_ptr<DeliveryChannel>> MakeWebhookChannels(const ChannelContext& ctx, BraceValueSource extra) {
    std::vector<std::unique_ptr<DeliveryChannel>> channels;
    for (WebhookConfig& hook : ReadWebhooks(ctx.ini, ctx.scrambleKey, ctx.settings.Timeout)) {
        if (!hook.enabled) continue;
        // A relative CA file is the user's, beside the settings.
        if (!hook.caFile.empty() && hook.caFile[0] != '/') hook.caFile = ctx.startDirectory + "/" + hook.caFile;
        const std::string problem = hook.secretProblem;
        auto channel = std::make_unique<WebhookChannel>(std::move(hook), FtpPageOf(ctx.settings).ftp.SiteName);
        channel->SetExtraValues(extra);
        channel->SetFingerprintKey(FingerprintKey(ctx.ini));
        if (problem.empty())
            channels.push_back(std::move(channel));
        else
            channels.push_back(HeldForSecret(std::move(channel), problem));
    }
    return channels;
}

}  // namespace zelmar
