// The working part of the settings pages, without widgets: what each control
// writes into the in-memory settings and when, which controls are enabled,
// the warnings and checks, and the "modified" marks that enable "&Save".
// The page widgets show these models and pass the user's edits to them; the
// models ask their questions through the core's message boxes, so a test can
// answer them from a script.
//
// Everything here runs on the main loop.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "app/core/host.h"
#include "app/core/settings.h"
#include "app/publish/ftp_page_settings.h"

namespace zelmar {

class Core;

// --- texts of the pages ---
inline constexpr const char* kImportantCaption = "Important";
inline constexpr const char* kMailWarningText =
    "WARNING: Enabling this feature will cause Zelmar to send an E-Mail after every refresh. "
    "Selecting 'E-Mail on IP change only' will prevent unnecessary E-Mailing by only notifying "
    "recipients when an IP address changes.";
inline constexpr const char* kProxyWarningText =
    "WARNING: If you are not familiar with Proxy Servers or Firewalls please leave this box "
    "unchecked. Incorrect settings may cause Zelmar to not function properly. Are you sure you "
    "want to enable this feature?";
inline constexpr const char* kIntervalRangeText = "Please enter a value between 30 and 9999";
inline constexpr const char* kPortRangeText = "Please enter a port number between 1 and 65535";
// What a number field outside its range says, in the words of the interval's
// message ("Please enter a value between 30 and 9999").
std::string NumberRangeText(int low, int high);

// Limits of the fields.
inline constexpr int kFtpPasswordMaxChars = 25;
inline constexpr int kSmtpAuthMaxChars = 255;
inline constexpr int kRecipientsMaxChars = 2048;
inline constexpr int kPortMaxChars = 5;
inline constexpr int kSecureSmtpPort = 465;
inline constexpr int kPlainSmtpPort = 25;

// A port text the program can use: digits only, 1 to 65535. (Five digits
// alone would let 70000 through, which wraps to another port.)
bool ValidPortText(const std::string& text);

// --- first run ---
// Whether the settings are still a first run's: no FTP site entered (empty
// or the placeholder) and neither the upload nor the e-mail turned on.
bool NothingConfigured(const Settings& s);
// The window's first-run message: where the settings live and what to set
// first.
std::string FirstRunText(const std::string& settingsFile);
// What the window says in place of the online notice while the WAN address
// is unknown ("N/A" or empty), so that it does not claim to be online
// without one; empty when the notice stands.
std::string UnconfiguredStatusText(const Settings& s, const std::string& wanAddress);

// The settings as a save would write them: one text per key the save owns,
// in the save's order. Two equal forms mean nothing is left to save.
std::vector<std::string> SavedForm(const Settings& s);

// The "modified" mark of one page.
class PageModel {
public:
    explicit PageModel(Core& core) : core_(core) {}
    virtual ~PageModel() = default;
    PageModel(const PageModel&) = delete;
    PageModel& operator=(const PageModel&) = delete;

    bool modified() const { return modified_; }
    void SetModified(bool modified = true) { modified_ = modified; }

    // Where a refused value is said: set by a page that shows it at the
    // field; unset, the check asks its message box.
    std::function<void(const std::string&)> onFieldProblem;

protected:
    // A value outside its range: said where the page wants it.
    void SayFieldProblem(const char* text);
    Core& core_;
    bool modified_ = false;
};

// "FTP" (CLocalSettings). Its text fields are the FTP page fields of the
// settings; the refresh copies them into the working values.
enum class FtpField { SiteName, OnlineFile, OfflineFile, RemoteFile, FTPServer, UserID, Password, Port };

class FtpPageModel : public PageModel {
public:
    using PageModel::PageModel;

    bool ftpEnabled() const;
    // Every control but "Site Name:" follows "&Enable FTP Uploads".
    bool FieldEnabled(FtpField field) const { return field == FtpField::SiteName || ftpEnabled(); }

    void SetEnableFtp(bool on);
    void SetFtpOnIpChangeOnly(bool on);

    std::string Field(FtpField field) const;
    // A field lost the focus: the trimmed text is kept (a new password cut
    // to its limit; the stored one, however long, kept as it is). A port outside 1..65535 is refused with a message box and
    // false; the field keeps its previous value.
    bool CommitField(FtpField field, const std::string& text);

    // How the page travels: "PageProtocol" (ftp, sftp) and "FTPSecurity"
    // (none, explicit, require). The index of the stored value among values:
    // 0 when none is stored, -1 for a value that is none of them.
    int SecureChoice(const char* key, std::initializer_list<const char*> values) const;
    // Writes values[index] unless the file already says so (a default is
    // not written out).
    void SetSecureChoice(const char* key, std::initializer_list<const char*> values, int index);
    // "PageURL", trimmed.
    void SetPageUrl(const std::string& text);
};

// "Advanced Options" (COptionsPage).
class OptionsPageModel : public PageModel {
public:
    using PageModel::PageModel;

    // The check boxes: "IsUpdateOnStart", "IsUpdateOnShut", "IsMinOnStartup",
    // "NotifyErrorOnShut", "SuppressError", "UpdateOnNAIP", "IsLogging".
    void SetFlag(int Settings::*flag, bool on);
    bool Flag(int Settings::*flag) const;

    bool LoggingControlsEnabled() const { return Flag(&Settings::IsLogging); }

    // Spin range of "Refresh interval": 30..9999 while the maintainer's
    // service gives the WAN address, else 0..9999.
    std::pair<int, int> RefreshIntervalRange() const;
    // The field changed: the page is modified and the interval edited.
    void RefreshIntervalEdited();
    // The field lost the focus: a valid value is stored and re-arms the
    // refresh timer; an invalid one shows the range message and returns
    // false (the caller puts the focus back).
    bool CommitRefreshInterval(const std::string& text);
    // A save takes the field as it stands: a valid value as on losing the
    // focus, an invalid one silently left out (the field still shows it).
    void CollectRefreshInterval(const std::string& text);

    // Numeric fields taken without a range check.
    void CommitNumber(int Settings::*field, const std::string& text);

    void SetLogFilename(const std::string& path);
    // The WAN lookup's texts: "WANIPURL", "WANIPURL6", "WANCheckURLs",
    // "StartDelimiter", "EndDelimiter".
    void SetText(std::string Settings::*field, const std::string& text);
};

// "Proxy/Firewall" (CProxyPage).
enum class ProxyControl { Host, HttpPort, LogonTypes, Passive, User, Account, Password, FtpPort };

class ProxyPageModel : public PageModel {
public:
    using PageModel::PageModel;

    bool proxyEnabled() const;
    bool ControlEnabled(ProxyControl control) const;

    // Checking asks the warning; No leaves the box unchecked. Returns the
    // box's new state.
    bool SetUseProxy(bool on);
    void SetLogonType(int type);
    void SetPassive(bool on);

    // Text fields (on losing the focus; the ports on every change).
    void SetHost(const std::string& text);
    void SetHttpPort(const std::string& text);
    void SetFtpPort(const std::string& text);
    void SetUser(const std::string& text);
    void SetAccount(const std::string& text);
    void SetPassword(const std::string& text);
};

// "E-Mail Options" (CEmailPage).
class EmailPageModel : public PageModel {
public:
    using PageModel::PageModel;

    bool mailEnabled() const;
    // Every other control follows "&Enable IP Address Emailing".
    bool ControlsEnabled() const { return mailEnabled(); }
    // "Settings..." needs authentication too.
    bool SettingsButtonEnabled() const;

    // Checking warns (OK only) while "E-Mail on IP change only" is off.
    void SetEnableMail(bool on);
    void SetFlag(int Settings::*flag, bool on);
    // "Use Secure SMTP": the port becomes 465, or 25 when unchecked.
    void SetSecureSmtp(bool on);
    int port() const;

    // Text fields, on losing the focus (trimmed; new recipients cut to their
    // limit, the stored list kept whole however long).
    void SetText(std::string Settings::*field, const std::string& text);
    // "Server Port:": a value outside 1..65535 is refused with a message box.
    bool CommitPort(const std::string& text);
};

// The "SMTP Authentication" dialog.
class SmtpAuthModel {
public:
    // Reads "EmailAccount" and "EmailPassword" (unscrambled) from the file.
    explicit SmtpAuthModel(Core& core);
    std::string account;
    std::string password;
    // "OK": writes both (the password scrambled) to "Preferences" at once and
    // takes them into the in-memory settings. A login the file cannot hold
    // (no account, a line break) is refused: false, and error says why.
    // Both fields empty remove the stored login.
    bool Ok(std::string& error);

private:
    Core& core_;
};

}  // namespace zelmar
