// Where a webhook's secret part (a token in its URL or a header) is kept.
//
// It is a secret of the SecretStore (WebhookSecretId: key "Secret" of the
// webhook's own section): in the desktop keyring or, scrambled, in the
// settings file, as "SecretStore" says. Everything that reads or writes it
// goes through these functions; the forms without a store use the desktop's
// Secret Service.
#pragma once

#include <cstddef>
#include <string>

#include "app/core/secret_store.h"

namespace zelmar {

class IniFile;
class SecretStore;

inline constexpr std::size_t kMaxWebhookSecretChars = 4096;

// The secret of "[Webhook name]": named after the host and port of its "URL"
// and its "Login" (or the webhook's name).
SecretId WebhookSecretId(const IniFile& ini, const std::string& webhookName);

// The secret in clear; empty when none is stored, or when it is stored but
// cannot be read now (unreadable, when given, then says why).
std::string ReadWebhookSecret(const IniFile& ini, const std::string& webhookName, const std::string& scrambleKey,
                              std::string* unreadable = nullptr);
std::string ReadWebhookSecret(SecretStore& store, const std::string& webhookName);

// Stores the secret of the existing section "[Webhook <name>]". Refuses a
// missing section, an empty or over-long secret and one that the settings
// file could not give back unchanged when it has to go there; error says
// why, notice tells of a fallback to the file.
bool StoreWebhookSecret(IniFile& ini, const std::string& webhookName, const std::string& secret,
                        const std::string& scrambleKey, std::string& error);
bool StoreWebhookSecret(SecretStore& store, const std::string& webhookName, const std::string& secret,
                        std::string& error, std::string& notice);

}  // namespace zelmar
