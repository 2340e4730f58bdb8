#include "app/notify/smtp_login.h"

#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/core/messages.h"

namespace zelmar {

SmtpLogin ReadSmtpLogin(const IniFile& ini, const std::string& scrambleKey) {
    SmtpLogin login;
    login.account = ini.GetString(kPreferences, "EmailAccount", "", kMaxSmtpLoginChars);
    login.password = ini.GetString(kPreferences, "EmailPassword", "", kMaxSmtpLoginChars);
    UnscrambleText(login.password, scrambleKey);
    return login;
}

namespace {

SecretId StoredSmtpSecret(const IniFile& ini) {
    return SmtpSecretId(ini.GetString(kPreferences, "EmailServer"),
                        ini.GetString(kPreferences, "EmailAccount", "", kMaxSmtpLoginChars));
}

// The checks both writers make; error says why a login cannot be stored.
bool CheckSmtpLogin(const SmtpLogin& login, std::string& error) {
    if (TrimBlanks(login.account).empty()) {
        error = "the account name is empty";
        return false;
    }
    if (login.account.size() > kMaxSmtpLoginChars || login.password.size() > kMaxSmtpLoginChars) {
        error = "the account name and the password are limited to 255 characters";
        return false;
    }
    for (const std::string* v : {&login.account, &login.password}) {
        if (v->find_first_of("\r\n") != std::string::npos || v->find('\0') != std::string::npos) {
            error = "line breaks and NUL characters cannot be stored";
            return false;
        }
    }
    return true;
}

}  // namespace

bool WriteSmtpLogin(IniFile& ini, const SmtpLogin& login, const std::string& scrambleKey, std::string& error) {
    if (!CheckSmtpLogin(login, error)) return false;
    std::string scrambled = login.password;
    ScrambleText(scrambled, scrambleKey);
    // The scrambled form must come back as it went in: the settings file
    // trims values, drops enclosing quotes and cannot hold line breaks.
    std::string check = scrambled;
    UnscrambleText(check, scrambleKey);
    const bool quoted = scrambled.size() >= 2 && (scrambled.front() == '"' || scrambled.front() == '\'') &&
                        scrambled.back() == scrambled.front();
    if (check != login.password || TrimBlanks(scrambled) != scrambled || quoted ||
        scrambled.find_first_of("\r\n") != std::string::npos) {
        error = Text<Msg::SecretNotStorableInFile>("password");
        return false;
    }
    if (!ini.WriteString(kPreferences, "EmailAccount", login.account) ||
        !ini.WriteString(kPreferences, "EmailPassword", scrambled)) {
        error = Text<Msg::CannotWrite>(ini.path());
        return false;
    }
    return true;
}

SmtpLogin ReadSmtpLogin(const IniFile& ini, SecretStore& store) {
    SmtpLogin login;
    login.account = ini.GetString(kPreferences, "EmailAccount", "", kMaxSmtpLoginChars);
    std::string problem;
    store.Read(StoredSmtpSecret(ini), login.password, problem);
    return login;
}

bool WriteSmtpLogin(IniFile& ini, SecretStore& store, const SmtpLogin& login, std::string& error,
                    std::string& notice) {
    if (!CheckSmtpLogin(login, error)) return false;
    // Known under the account it was stored for, so that a new account's
    // password replaces the old one in the keyring.
    std::string old, problem;
    store.Read(StoredSmtpSecret(ini), old, problem);
    const SecretStore::WriteResult r =
        store.Write(SmtpSecretId(ini.GetString(kPreferences, "EmailServer"), login.account), login.password);
    if (!r.ok) {
        error = r.problem;
        return false;
    }
    notice = r.notice;
    if (!ini.WriteString(kPreferences, "EmailAccount", login.account)) {
        error = Text<Msg::CannotWrite>(ini.path());
        return false;
    }
    return true;
}

bool ClearSmtpLogin(IniFile& ini, SecretStore& store, std::string& error) {
    if (!store.Remove(StoredSmtpSecret(ini), error)) return false;
    if (!ini.WriteString(kPreferences, "EmailAccount", "")) {
        error = Text<Msg::CannotWrite>(ini.path());
        return false;
    }
    return true;
}

}  // namespace zelmar
