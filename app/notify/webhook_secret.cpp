#include "app/notify/webhook_secret.h"

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/core/text.h"

namespace zelmar {

namespace {
std::string SectionOf(const std::string& name) { return "Webhook " + name; }
}  // namespace

std::string ReadWebhookSecret(const IniFile& ini, const std::string& webhookName, const std::string& scrambleKey) {
    std::string secret = ini.GetString(SectionOf(webhookName), "Secret", "", kMaxWebhookSecretChars);
    UnscrambleText(secret, scrambleKey);
    return secret;
}

bool StoreWebhookSecret(IniFile& ini, const std::string& webhookName, const std::string& secret,
                        const std::string& scrambleKey, std::string& error) {
    bool found = false;
    for (const std::string& section : ini.GetSectionNames()) found = found || EqualsNoCase(section, SectionOf(webhookName));
    if (!found) {
        error = "there is no section [" + SectionOf(webhookName) + "] in " + ini.path() + "; add the webhook first";
        return false;
    }
    if (secret.empty() || secret.size() > kMaxWebhookSecretChars) {
        error = "the secret must have 1 to 4096 characters";
        return false;
    }
    std::string scrambled = secret;
    ScrambleText(scrambled, scrambleKey);
    // The scrambled form must come back as it went in: the settings file
    // trims values, drops enclosing quotes and cannot hold line breaks.
    std::string check = scrambled;
    UnscrambleText(check, scrambleKey);
    const bool quoted = scrambled.size() >= 2 && (scrambled.front() == '"' || scrambled.front() == '\'') &&
                        scrambled.back() == scrambled.front();
    if (check != secret || TrimBlanks(scrambled) != scrambled || quoted ||
        scrambled.find_first_of("\r\n") != std::string::npos) {
        error = "this secret cannot be stored in the settings file (line breaks or control characters?)";
        return false;
    }
    if (!ini.WriteString(SectionOf(webhookName), "Secret", scrambled)) {
        error = "cannot write " + ini.path();
        return false;
    }
    return true;
}

}  // namespace zelmar
