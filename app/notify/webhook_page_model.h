// The "Notifications" page without its widgets: the webhooks as a list with
// each one's last outcome, and their add, edit, remove and test, each
// written to the settings file at once (like the dynamic-DNS entries), so
// that "&Save" has nothing of theirs to collect. A webhook's secret goes
// where "SecretStore" says (the desktop keyring or, scrambled, the file).
#pragma once

#include <string>
#include <vector>

#include "app/notify/webhook.h"

namespace zelmar {

class IniFile;
class SecretStore;

struct WebhookRow {
    std::string name;
    std::string method;
    std::string url;
    bool enabled = true;
    std::string lastOutcome;  // "delivered 12/07/26 17:02:11", "failed 2 times", "never delivered"
};

class WebhookPageModel {
public:
    WebhookPageModel(IniFile& ini, std::string scrambleKey, SecretStore& secrets)
        : ini_(ini), scrambleKey_(std::move(scrambleKey)), secrets_(secrets) {}

    std::vector<WebhookRow> Rows() const;
    // The webhook as stored, its secret left out (the dialog never shows it).
    WebhookConfig Load(const std::string& name) const;
    // Writes an added or edited webhook; newSecret empty keeps the stored
    // one. Refuses a name that is taken (adding) or cannot name a section,
    // a URL that is not http:// or https://, and a method other than GET,
    // POST and PUT; error says why, notice tells of a secret that went to
    // the file instead of the keyring.
    bool Save(const WebhookConfig& hook, const std::string& newSecret, bool adding, std::string& error,
              std::string& notice);
    // Removes the webhook, its secret and its channel's record.
    bool Remove(const std::string& name);

    // The webhook's request as a refresh would make it, with sample
    // addresses (documentation ones); false with the reason in error when
    // it would not be sent. RunWebhookTest then sends it (on any thread).
    struct TestRequest {
        WebhookRequest request;
        int timeoutSeconds = 15;
        std::string caFile;
    };
    bool PrepareTest(const std::string& name, int defaultTimeout, TestRequest& test, std::string& error) const;

private:
    IniFile& ini_;
    std::string scrambleKey_;
    SecretStore& secrets_;
};

// Sends a prepared test; the outcome as one line.
std::string RunWebhookTest(const WebhookPageModel::TestRequest& test);

// The command hook run once with sample values (event "test"), as a refresh
// would run it; the lines it leaves, as the log would get them.
std::vector<std::string> TestCommandHook(const std::string& command, int timeoutSeconds,
                                         const std::string& workingDirectory);

}  // namespace zelmar
