#include "app/notify/webhook_secret.h"

#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/core/text.h"
#include "app/notify/webhook.h"

namespace zelmar {

namespace {
const EntrySecretFamily kWebhookSecrets{
    .kind = "webhook",
    .sectionPrefix = kWebhookSectionPrefix,
    .serverKey = "URL",
    .option = "--set-webhook-secret",
    .help = "               store the secret of [Webhook NAME] (its %{secret}), read\n"
            "               from standard input like a password\n",
    .prompt = "Webhook secret: ",
    .limit = kMaxWebhookSecretChars,
    .notStored = "webhook secret not stored",
    .write = [](SecretStore& store, const std::string& name, const std::string& secret, std::string& error,
                std::string& notice) { return StoreWebhookSecret(store, name, secret, error, notice); },
};
const EntrySecretFamilyRegistration kWebhookSecretsKnown{kWebhookSecrets};
}  // namespace

SecretId WebhookSecretId(const IniFile& ini, const std::string& webhookName) {
    return EntrySecretId(ini, kWebhookSecrets, webhookName);
}

std::string ReadWebhookSecret(const IniFile& ini, const std::string& webhookName, const std::string& scrambleKey,
                              std::string* unreadable) {
    std::string problem;
    bool failed = false;
    std::string secret = ReadStoredSecret(ini, scrambleKey, WebhookSecretId(ini, webhookName), &problem, &failed);
    if (unreadable) *unreadable = failed ? problem : std::string();
    return secret;
}

std::string ReadWebhookSecret(SecretStore& store, const std::string& webhookName) {
    std::string secret, problem;
    store.Read(WebhookSecretId(store.ini(), webhookName), secret, problem);
    return secret;
}

bool StoreWebhookSecret(IniFile& ini, const std::string& webhookName, const std::string& secret,
                        const std::string& scrambleKey, std::string& error) {
    SecretStore store(ini, scrambleKey, MakeSecretServiceKeyring());
    std::string notice;
    return StoreWebhookSecret(store, webhookName, secret, error, notice);
}

bool StoreWebhookSecret(SecretStore& store, const std::string& webhookName, const std::string& secret,
                        std::string& error, std::string& notice) {
    const SecretId id = WebhookSecretId(store.ini(), webhookName);
    bool found = false;
    for (const std::string& section : store.ini().GetSectionNames()) found = found || EqualsNoCase(section, id.section);
    if (!found) {
        error = "there is no section [" + id.section + "] in " + store.ini().path() + "; add the webhook first";
        return false;
    }
    if (secret.empty() || secret.size() > kMaxWebhookSecretChars) {
        error = "the secret must have 1 to 4096 characters";
        return false;
    }
    const SecretStore::WriteResult r = store.Write(id, secret);
    error = r.problem;
    notice = r.notice;
    return r.ok;
}

}  // namespace zelmar
