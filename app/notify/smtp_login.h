// The non-window half of the SMTP login dialog: the account and password
// kept in "Preferences" ("EmailAccount" in clear, "EmailPassword"
// scrambled), read and written as the dialog does.
#pragma once

#include <string>

namespace zelmar {

class IniFile;
class SecretStore;

inline constexpr std::size_t kMaxSmtpLoginChars = 255;

struct SmtpLogin {
    std::string account;
    std::string password;  // in clear
};

SmtpLogin ReadSmtpLogin(const IniFile& ini, const std::string& scrambleKey);

// Writes both keys at once. Refuses an empty account and values longer than
// kMaxSmtpLoginChars or holding line breaks; error says why.
bool WriteSmtpLogin(IniFile& ini, const SmtpLogin& login, const std::string& scrambleKey, std::string& error);

// The same through the program's secret store: the password goes where
// "SecretStore" says (the desktop keyring or the settings file); notice
// tells of a fallback to the file. A password kept for another account is
// taken away.
SmtpLogin ReadSmtpLogin(const IniFile& ini, SecretStore& store);
bool WriteSmtpLogin(IniFile& ini, SecretStore& store, const SmtpLogin& login, std::string& error,
                    std::string& notice);
// Removes the stored login (account and password) from wherever it is.
bool ClearSmtpLogin(IniFile& ini, SecretStore& store, std::string& error);

}  // namespace zelmar
