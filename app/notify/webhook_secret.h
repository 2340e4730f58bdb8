// Where a webhook's secret part (a token in its URL or a header) is kept.
//
// Today it is the key "Secret" of the webhook's own section, scrambled like
// every stored password. Everything that reads or writes it goes through
// these two functions, so that moving secrets into the desktop's keyring
// changes this file only.
#pragma once

#include <cstddef>
#include <string>

namespace zelmar {

class IniFile;

inline constexpr std::size_t kMaxWebhookSecretChars = 4096;

// The secret in clear; empty when none is stored.
std::string ReadWebhookSecret(const IniFile& ini, const std::string& webhookName, const std::string& scrambleKey);

// Stores the secret of the existing section "[Webhook <name>]". Refuses a
// missing section, an empty or over-long secret and one that the settings
// file could not give back unchanged; error says why.
bool StoreWebhookSecret(IniFile& ini, const std::string& webhookName, const std::string& secret,
                        const std::string& scrambleKey, std::string& error);

}  // namespace zelmar
