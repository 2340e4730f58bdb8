// Webhooks: an HTTP request to a service of the user's choice (a push
// service, a chat room, a home-automation hub) whenever the addresses change.
//
// Each "[Webhook <name>]" section of the settings file is one delivery
// channel named "Webhook <name>":
//
//   URL          http:// or https://; may hold tokens
//   Method       GET, POST or PUT (default POST); GET sends no body
//   Headers      "Name: value" lines separated by "|"; may hold tokens
//   Body         the request body, a template with the page tokens ("%WI",
//                "%D", ...) and the "%{name}" tokens
//   ContentType  default "application/json"
//   Enabled      default 1
//   OnChangeOnly default 1: only when an address changed since the last
//                delivery (and on a manual, start-up or exit refresh)
//   Timeout      seconds for the whole request (default: "Timeout" of
//                "Preferences")
//   CAFile       certificates to trust instead of the system's (a private CA)
//   Secret       scrambled; set with "zelmar --set-webhook-secret NAME" and
//                used as "%{secret}"
//
// Values are escaped for where they land: inside a JSON body as JSON string
// content, inside the URL's query percent-encoded, elsewhere as they are.
// A JSON body that is not valid JSON after expansion is refused before
// anything is sent, and so is a header that a value would split. The secret
// never reaches the log: every line that could hold it has it replaced by
// "***".
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/page/brace_tokens.h"
#include "app/page/status_page.h"
#include "app/refresh/delivery_channel.h"
#include "net/default_timeout.h"

namespace zelmar {

inline constexpr const char* kWebhookSectionPrefix = "Webhook ";

using BraceValues = std::map<std::string, std::string, std::less<>>;
// Values for the "%{...}" tokens of one snapshot.
using BraceValueSource = std::function<BraceValues(const RefreshSnapshot&)>;

struct WebhookConfig {
    std::string name;  // the part after "Webhook "
    std::string url;
    std::string method = "POST";
    std::string headers;  // "Name: value|Name: value"
    std::string body;
    std::string contentType = "application/json";
    bool enabled = true;
    bool onChangeOnly = true;
    int timeoutSeconds = 15;
    std::string caFile;  // empty: the system's certificates
    std::string secret;  // in clear
    // Non-empty: a secret is stored but cannot be read now; why.
    std::string secretProblem;

    std::string ChannelName() const { return kWebhookSectionPrefix + name; }
    bool JsonBody() const;
};

// Every "[Webhook <name>]" section, in file order, enabled or not.
// defaultTimeout is the program's "Timeout" (0 or less: 15 seconds).
std::vector<WebhookConfig> ReadWebhooks(const IniFile& ini, const std::string& scrambleKey, int defaultTimeout);

// JSON string content (without the quotes); bytes that are not UTF-8 become
// U+FFFD.
std::string JsonStringContent(std::string_view value);
// RFC 3986: everything but the unreserved characters as %XX.
std::string PercentEncoded(std::string_view value);

struct WebhookRequest {
    std::string method;
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // empty for GET
};

// Expands the templates with the page's values (their "%{...}" table
// included) and "%{secret}". Returns false with a one-line reason, naming
// nothing secret, when the request must not be sent.
bool BuildWebhookRequest(const WebhookConfig& hook, const PageValues& values, WebhookRequest& request,
                         std::string& error);

struct WebhookAnswer {
    bool delivered = false;  // a 2xx answer
    long status = 0;         // 0: no HTTP answer at all
    std::string firstLine;   // the answer body's first line, control characters masked
    std::string error;       // the transfer's error when there was no answer
};

WebhookAnswer SendWebhook(const WebhookRequest& request, int timeoutSeconds, const std::string& caFile);

// The page values a webhook, the command hook and a page share for one
// snapshot: addresses, status word, time and the "%{...}" table.
PageValues WebhookPageValues(const RefreshSnapshot& snapshot, const std::string& siteName);

class WebhookChannel : public DeliveryChannel {
public:
    WebhookChannel(WebhookConfig config, std::string siteName)
        : config_(std::move(config)), siteName_(std::move(siteName)) {}
    std::string Name() const override { return config_.ChannelName(); }
    bool Due(const RefreshSnapshot& snapshot, const ChannelRecord& record) const override;
    DeliveryResult Deliver(const RefreshSnapshot& snapshot, Reporter& reporter) override;
    std::string SettingsFingerprint() const override;
    // A webhook may have a "Timeout" of its own for its one request.
    std::chrono::seconds Deadline(std::chrono::seconds) const override {
        return std::chrono::seconds(TimeoutOrDefault(config_.timeoutSeconds));
    }

    // More "%{...}" values for each request (the address history's), made
    // from the snapshot at delivery.
    void SetExtraValues(BraceValueSource source) { extra_ = std::move(source); }
    // The key of the fingerprint's digest (FingerprintKey).
    void SetFingerprintKey(std::string key) { fingerprintKey_ = std::move(key); }

private:
    WebhookConfig config_;
    std::string siteName_;
    BraceValueSource extra_;
    // The failed tries before this one, as Due found them in the record.
    mutable int failures_ = 0;
    std::string fingerprintKey_;
};

// The channels of the enabled "[Webhook <name>]" sections.
std::vector<std::unique_ptr<DeliveryChannel>> MakeWebhookChannels(const ChannelContext& ctx,
                                                                   BraceValueSource extra = {});

}  // namespace zelmar
