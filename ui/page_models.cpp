#include "ui/page_models.h"

#include <algorithm>
#include <cctype>
#include <variant>

#include "app/core/core.h"
#include "app/core/messages.h"
#include "app/core/text.h"
#include "app/notify/smtp_login.h"

namespace zelmar {

namespace {

MessageBoxRequest Warning(const char* text, MbButtons buttons, MbAnswer defaultAnswer) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = kImportantCaption;
    box.buttons = buttons;
    box.icon = MbIcon::Warning;
    box.defaultAnswer = defaultAnswer;
    return box;
}

// A message box of a field check: the program's name as caption, OK only.
MessageBoxRequest FieldCheck(const char* text) {
    MessageBoxRequest box;
    box.text = text;
    box.caption = "Zelmar";
    box.icon = MbIcon::Warning;
    return box;
}

// The first maxChars characters (UTF-8 code points) of text.
std::string CutChars(const std::string& text, int maxChars) {
    int chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == maxChars) return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

}  // namespace

void PageModel::SayFieldProblem(const char* text) {
    if (onFieldProblem)
        onFieldProblem(text);
    else
        core_.MessageBox(FieldCheck(text));
}

bool NothingConfigured(const Settings& s) {
    const std::string& server = FtpPageOf(s).ftpPage.FTPServer;
    return (server.empty() || server == kPlaceholderFtpServer) && FtpPageOf(s).EnableFTP != 1 && s.EnableMail != 1;
}

std::string FirstRunText(const std::string& settingsFile) {
    return Text<Msg::FirstRunNote>(settingsFile);
}

std::string UnconfiguredStatusText(const Settings& s, const std::string& wanAddress) {
    if (!wanAddress.empty() && wanAddress != "N/A") return std::string();
    const char* source = s.WANIPURL.empty() ? "the built-in address-echo services gave none"
                                            : "the address-echo page gave none";
    if (NothingConfigured(s)) return Text<Msg::NotSetUpNoWan>(source);
    return Text<Msg::NoWanShown>(source);
}

std::string NumberRangeText(int low, int high) {
    return Text<Msg::NumberOutOfRange>(low, high);
}

std::vector<std::string> SavedForm(const Settings& s) {
    std::vector<const SettingKey*> saved;
    for (const SettingKey& key : SettingKeys())
        if (key.saveOrder > 0) saved.push_back(&key);
    std::sort(saved.begin(), saved.end(),
              [](const SettingKey* a, const SettingKey* b) { return a->saveOrder < b->saveOrder; });
    // The table reaches the fields through a mutable Settings; a copy keeps
    // the caller's untouched.
    Settings copy = s;
    std::vector<std::string> form;
    form.reserve(saved.size());
    for (const SettingKey* key : saved) {
        const SettingField field = key->field(copy);
        if (std::string* const* text = std::get_if<std::string*>(&field))
            form.push_back(**text);
        else
            form.push_back(std::to_string(*std::get<int*>(field)));
    }
    return form;
}

bool ValidPortText(const std::string& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(kPortMaxChars)) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const long port = std::stol(text);
    return port >= 1 && port <= 65535;
}

// --- FTP ---

bool FtpPageModel::ftpEnabled() const { return FtpPageOf(core_.settings()).EnableFTP == 1; }

void FtpPageModel::SetEnableFtp(bool on) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).EnableFTP = on ? 1 : 0; });
    SetModified();
}

void FtpPageModel::SetFtpOnIpChangeOnly(bool on) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).FTPOnIPChangeOnly = on ? 1 : 0; });
    SetModified();
}

namespace {
std::string FtpSiteFields::*FieldMember(FtpField field) {
    switch (field) {
        case FtpField::SiteName: return &FtpSiteFields::SiteName;
        case FtpField::OnlineFile: return &FtpSiteFields::OnlineFile;
        case FtpField::OfflineFile: return &FtpSiteFields::OfflineFile;
        case FtpField::RemoteFile: return &FtpSiteFields::RemoteFile;
        case FtpField::FTPServer: return &FtpSiteFields::FTPServer;
        case FtpField::UserID: return &FtpSiteFields::UserID;
        case FtpField::Password: return &FtpSiteFields::Password;
        case FtpField::Port: return &FtpSiteFields::Port;
    }
    return &FtpSiteFields::SiteName;
}
}  // namespace

std::string FtpPageModel::Field(FtpField field) const { return FtpPageOf(core_.settings()).ftpPage.*FieldMember(field); }

bool FtpPageModel::CommitField(FtpField field, const std::string& text) {
    std::string value = TrimBlanks(text);
    // The limit is for what the user types: a longer password the file
    // already holds comes back unchanged and is kept whole.
    if (field == FtpField::Password && value != Field(field)) value = CutChars(value, kFtpPasswordMaxChars);
    if (field == FtpField::Port && !ValidPortText(value)) {
        SayFieldProblem(kPortRangeText);
        return false;
    }
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ftpPage.*FieldMember(field) = value; });
    return true;
}

int FtpPageModel::SecureChoice(const char* key, std::initializer_list<const char*> values) const {
    std::string stored = TrimBlanks(core_.ini().GetString(kLocalSettings, key, ""));
    if (stored.empty()) return 0;
    for (char& c : stored) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = std::find_if(values.begin(), values.end(), [&](const char* v) { return stored == v; });
    return at == values.end() ? -1 : static_cast<int>(at - values.begin());
}

void FtpPageModel::SetSecureChoice(const char* key, std::initializer_list<const char*> values, int index) {
    if (index < 0 || index >= static_cast<int>(values.size()) || index == SecureChoice(key, values)) return;
    core_.ini().WriteString(kLocalSettings, key, std::string(values.begin()[index]));
}

// --- Advanced Options ---

void OptionsPageModel::SetFlag(int Settings::*flag, bool on) {
    core_.EditSettings([&](Settings& s) { s.*flag = on ? 1 : 0; });
    SetModified();
}

bool OptionsPageModel::Flag(int Settings::*flag) const { return core_.settings().*flag == 1; }

std::pair<int, int> OptionsPageModel::RefreshIntervalRange() const {
    return core_.settings().MaintainerServiceFlag != 0 ? std::pair{30, 9999} : std::pair{0, 9999};
}

void OptionsPageModel::RefreshIntervalEdited() {
    SetModified();
    core_.MarkIntervalEdited();
}

bool OptionsPageModel::CommitRefreshInterval(const std::string& text) {
    const long value = LeadingInt(text);
    const auto [low, high] = RefreshIntervalRange();
    if (core_.settings().MaintainerServiceFlag != 0 && (value < low || value > high)) {
        SayFieldProblem(kIntervalRangeText);
        return false;
    }
    const int minutes = static_cast<int>(value);
    if (core_.settings().RefreshIntv == minutes) return true;
    core_.EditSettings([&](Settings& s) { s.RefreshIntv = minutes; });
    core_.ArmRefreshTimer(minutes);
    return true;
}

void OptionsPageModel::CollectRefreshInterval(const std::string& text) {
    const long value = LeadingInt(text);
    const auto [low, high] = RefreshIntervalRange();
    if (core_.settings().MaintainerServiceFlag != 0 && (value < low || value > high)) return;
    CommitRefreshInterval(text);
}

void OptionsPageModel::CommitNumber(int Settings::*field, const std::string& text) {
    const int value = static_cast<int>(LeadingInt(text));
    core_.EditSettings([&](Settings& s) { s.*field = value; });
}

void OptionsPageModel::SetLogFilename(const std::string& path) {
    const std::string value = TrimBlanks(path);
    core_.EditSettings([&](Settings& s) { s.LogFilename = value; });
}

void OptionsPageModel::SetText(std::string Settings::*field, const std::string& text) {
    if (core_.settings().*field == text) return;
    core_.EditSettings([&](Settings& s) { s.*field = text; });
    SetModified();
}

void FtpPageModel::SetPageUrl(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).PageURL = TrimBlanks(text); });
}

// --- Proxy/Firewall ---

bool ProxyPageModel::proxyEnabled() const { return FtpPageOf(core_.settings()).UseProxy == 1; }

bool ProxyPageModel::ControlEnabled(ProxyControl control) const {
    const Settings s = core_.settings();
    if (FtpPageOf(s).UseProxy != 1) return false;
    switch (control) {
        case ProxyControl::Host:
        case ProxyControl::HttpPort:
        case ProxyControl::LogonTypes:
        case ProxyControl::Passive:
            return true;
        case ProxyControl::User:
        case ProxyControl::Account:
        case ProxyControl::Password:
        case ProxyControl::FtpPort:
            return FtpPageOf(s).LogonType != 0;
    }
    return false;
}

bool ProxyPageModel::SetUseProxy(bool on) {
    if (on && core_.MessageBox(Warning(kProxyWarningText, MbButtons::YesNo, MbAnswer::No)) != MbAnswer::Yes) {
        core_.EditSettings([](Settings& s) { FtpPageOf(s).UseProxy = 0; });
        return false;
    }
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).UseProxy = on ? 1 : 0; });
    SetModified();
    return on;
}

void ProxyPageModel::SetLogonType(int type) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).LogonType = type; });
    SetModified();
}

void ProxyPageModel::SetPassive(bool on) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ProxyPassive = on ? 1 : 0; });
    SetModified();
}

void ProxyPageModel::SetHost(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ProxyAddress = TrimBlanks(text); });
}
void ProxyPageModel::SetHttpPort(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).HTTPProxyPort = TrimBlanks(text); });
}
void ProxyPageModel::SetFtpPort(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).FTPProxyPort = static_cast<int>(LeadingInt(text)); });
}
void ProxyPageModel::SetUser(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ProxyUser = TrimBlanks(text); });
}
void ProxyPageModel::SetAccount(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ProxyAccount = TrimBlanks(text); });
}
void ProxyPageModel::SetPassword(const std::string& text) {
    core_.EditSettings([&](Settings& s) { FtpPageOf(s).ProxyPass = TrimBlanks(text); });
}

// --- E-Mail Options ---

bool EmailPageModel::mailEnabled() const { return core_.settings().EnableMail == 1; }

bool EmailPageModel::SettingsButtonEnabled() const {
    const Settings s = core_.settings();
    return s.EnableMail == 1 && s.EnableSMTPAuth == 1;
}

void EmailPageModel::SetEnableMail(bool on) {
    core_.EditSettings([&](Settings& s) { s.EnableMail = on ? 1 : 0; });
    SetModified();
    // A note, not a box: it informs, and the page's message line says it.
    if (on && core_.settings().EmailOnIPChangeOnly != 1) {
        if (onFieldProblem)
            onFieldProblem(kMailWarningText);
        else
            core_.MessageBox(Warning(kMailWarningText, MbButtons::Ok, MbAnswer::Ok));
    }
}

void EmailPageModel::SetFlag(int Settings::*flag, bool on) {
    core_.EditSettings([&](Settings& s) { s.*flag = on ? 1 : 0; });
    SetModified();
}

void EmailPageModel::SetSecureSmtp(bool on) {
    core_.EditSettings([&](Settings& s) {
        s.EnableSecureSMTP = on ? 1 : 0;
        s.EmailServerPort = on ? kSecureSmtpPort : kPlainSmtpPort;
    });
    SetModified();
}

int EmailPageModel::port() const { return core_.settings().EmailServerPort; }

void EmailPageModel::SetText(std::string Settings::*field, const std::string& text) {
    std::string value = TrimBlanks(text);
    if (field == &Settings::EmailTo && value != core_.settings().EmailTo)
        value = CutChars(value, kRecipientsMaxChars);
    core_.EditSettings([&](Settings& s) { s.*field = value; });
}

bool EmailPageModel::CommitPort(const std::string& text) {
    const std::string value = TrimBlanks(text);
    if (!ValidPortText(value)) {
        SayFieldProblem(kPortRangeText);
        return false;
    }
    core_.EditSettings([&](Settings& s) { s.EmailServerPort = static_cast<int>(LeadingInt(value)); });
    return true;
}

// --- SMTP Authentication ---

SmtpAuthModel::SmtpAuthModel(Core& core) : core_(core) {
    const SmtpLogin login = ReadSmtpLogin(core.ini(), core.secrets());
    account = login.account;
    password = login.password;
}

bool SmtpAuthModel::Ok(std::string& error) {
    account = CutChars(account, kSmtpAuthMaxChars);
    password = CutChars(password, kSmtpAuthMaxChars);
    if (TrimBlanks(account).empty() && password.empty()) {
        // Both fields emptied: the stored login is removed, so that a user
        // can take it back (a login needs an account, so the writer of a
        // login refuses an empty one).
        account.clear();
        if (!ClearSmtpLogin(core_.ini(), core_.secrets(), error)) return false;
    } else {
        std::string notice;
        if (!WriteSmtpLogin(core_.ini(), core_.secrets(), {account, password}, error, notice)) return false;
        if (!notice.empty()) core_.DisplayAndLog(StatusMessage::Program("P", notice));
    }
    core_.EditSettings([&](Settings& s) {
        s.EmailAccount = account;
        s.EmailPassword = password;
    });
    return true;
}

}  // namespace zelmar
