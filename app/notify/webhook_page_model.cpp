#include "app/notify/webhook_page_model.h"

#include <ctime>

#include "app/core/event_log.h"
#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/core/text.h"
#include "app/notify/command_hook.h"
#include "app/notify/webhook_secret.h"
#include "app/refresh/channel_record.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

std::string Section(const std::string& name) { return kWebhookSectionPrefix + name; }

std::string When(std::int64_t seconds) { return LocalTimeText(static_cast<std::time_t>(seconds), "%m/%d/%y %H:%M:%S"); }

std::string OutcomeText(const IniFile& ini, const std::string& channel) {
    const ChannelRecord r = LoadChannelRecord(ini, channel);
    if (!r.stoppedFor.empty()) return "stopped" + (r.stopReason.empty() ? std::string() : ": " + r.stopReason);
    if (r.failures > 0) return "failed " + std::to_string(r.failures) + (r.failures == 1 ? " time" : " times");
    return r.everDelivered() ? "delivered " + When(r.deliveredAt) : "never delivered";
}

bool ValidName(const std::string& name) {
    return !name.empty() && name == TrimBlanks(name) && name.find_first_of("[]=;\r\n") == std::string::npos;
}

// A refresh as the test sends it: documentation addresses (RFC 5737, 3849)
// and a change, so that every value of a template is filled.
RefreshSnapshot SampleSnapshot() {
    RefreshSnapshot s;
    s.current = {"203.0.113.7", "192.168.1.20", "2001:db8::7", "fd00::20"};
    s.previous = {"203.0.113.6", "192.168.1.20", "", ""};
    s.time = std::chrono::system_clock::now();
    s.trigger = RefreshTrigger::Manual;
    return s;
}

}  // namespace

std::vector<WebhookRow> WebhookPageModel::Rows() const {
    std::vector<WebhookRow> rows;
    for (const WebhookConfig& hook : ReadWebhooks(ini_, scrambleKey_, 0))
        rows.push_back({hook.name, hook.method, hook.url, hook.enabled, OutcomeText(ini_, hook.ChannelName())});
    return rows;
}

WebhookConfig WebhookPageModel::Load(const std::string& name) const {
    for (WebhookConfig& hook : ReadWebhooks(ini_, scrambleKey_, 0)) {
        if (hook.name != name) continue;
        hook.secret.clear();
        // Only a timeout of its own is the webhook's.
        hook.timeoutSeconds = static_cast<int>(ini_.GetInt(Section(name), "Timeout", 0));
        return hook;
    }
    WebhookConfig none;
    none.name = name;
    none.timeoutSeconds = 0;
    return none;
}

bool WebhookPageModel::Save(const WebhookConfig& hook, const std::string& newSecret, bool adding, std::string& error,
                            std::string& notice) {
    if (!ValidName(hook.name)) {
        error = "A name must not be empty, begin or end with a blank, or hold [ ] = ;";
        return false;
    }
    if (adding && !ini_.GetSection(Section(hook.name)).empty()) {
        error = "There is a webhook \"" + hook.name + "\" already.";
        return false;
    }
    const std::string url = TrimBlanks(hook.url);
    if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
        error = "The URL must begin with http:// or https://.";
        return false;
    }
    const std::string method = UpperAscii(TrimBlanks(hook.method));
    if (method != "GET" && method != "POST" && method != "PUT") {
        error = "The method must be GET, POST or PUT.";
        return false;
    }
    if (hook.headers.find_first_of("\r\n") != std::string::npos || hook.body.find_first_of("\r\n") != std::string::npos) {
        error = "Headers and body are one line each (headers separated by \"|\").";
        return false;
    }
    IniBatch batch(ini_, IniBatch::kWriteOnCommit);
    const std::string section = Section(hook.name);
    const bool written = ini_.WriteString(section, "URL", url) && ini_.WriteString(section, "Method", method) &&
                         ini_.WriteString(section, "Headers", hook.headers) &&
                         ini_.WriteString(section, "Body", hook.body) &&
                         ini_.WriteString(section, "ContentType", TrimBlanks(hook.contentType)) &&
                         ini_.WriteString(section, "Enabled", hook.enabled ? "1" : "0") &&
                         ini_.WriteString(section, "OnChangeOnly", hook.onChangeOnly ? "1" : "0") &&
                         ini_.WriteString(section, "Timeout",
                                          hook.timeoutSeconds > 0 ? std::to_string(hook.timeoutSeconds) : "") &&
                         ini_.WriteString(section, "CAFile", TrimBlanks(hook.caFile));
    if (!written || !batch.Commit()) {
        error = "Cannot write " + ini_.path() + ".";
        return false;
    }
    // The section exists now: the secret is named after its URL's server.
    if (!newSecret.empty() && !StoreWebhookSecret(secrets_, hook.name, newSecret, error, notice)) return false;
    return true;
}

bool WebhookPageModel::Remove(const std::string& name) {
    std::string problem;
    secrets_.Remove(WebhookSecretId(ini_, name), problem);
    IniBatch batch(ini_, IniBatch::kWriteOnCommit);
    const bool removed = ini_.DeleteSection(Section(name));
    ini_.DeleteSection(ChannelSection(Section(name)));
    return batch.Commit() && removed;
}

bool WebhookPageModel::PrepareTest(const std::string& name, int defaultTimeout, TestRequest& test,
                                   std::string& error) const {
    for (WebhookConfig& hook : ReadWebhooks(ini_, scrambleKey_, defaultTimeout)) {
        if (hook.name != name) continue;
        hook.secret = ReadWebhookSecret(secrets_, name);
        if (!BuildWebhookRequest(hook, WebhookPageValues(SampleSnapshot(), "test"), test.request, error)) return false;
        test.timeoutSeconds = hook.timeoutSeconds;
        test.caFile = hook.caFile;
        return true;
    }
    error = "there is no webhook \"" + name + "\"";
    return false;
}

std::string RunWebhookTest(const WebhookPageModel::TestRequest& test) {
    const WebhookAnswer answer = SendWebhook(test.request, test.timeoutSeconds, test.caFile);
    if (answer.status == 0) return "No answer: " + answer.error;
    std::string line = (answer.delivered ? "Delivered: HTTP " : "Refused: HTTP ") + std::to_string(answer.status);
    if (!answer.firstLine.empty()) line += " " + answer.firstLine;
    return line;
}

std::vector<std::string> TestCommandHook(const std::string& command, int timeoutSeconds,
                                         const std::string& workingDirectory) {
    HookRun run;
    std::string error;
    if (command.find_first_not_of(" \t") == std::string::npos) return {"No command is given."};
    if (!SplitCommandLine(command, run.argv, error)) return {Text<Msg::HookNotRun>(error)};
    const int seconds = timeoutSeconds > 0 ? timeoutSeconds : 15;
    run.timeout = std::chrono::seconds(seconds);
    run.environment = HookEnvironment("test", SampleSnapshot(), {});
    run.workingDirectory = workingDirectory;
    const HookResult result = RunHook(run);
    std::vector<std::string> lines;
    for (const StatusMessage& line : HookReport(command, result, seconds)) lines.push_back(line.text);
    if (result.started && !result.timedOut && result.signal == 0 && result.exitCode == 0)
        lines.push_back("OnChangeCommand ran and ended well.");
    return lines;
}

}  // namespace zelmar
