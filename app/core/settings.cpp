#include "app/core/settings.h"

#include <algorithm>
#include <unistd.h>

namespace zelmar {

namespace {

// Fixed part of the scrambling key. It must never change: passwords stored by
// earlier runs would no longer unscramble.
constexpr const char* kScrambleConstant = "zL7#mQ2";

void StopAtZero(std::string& s) {
    std::size_t z = s.find('\0');
    if (z != std::string::npos) s.resize(z);
}

}  // namespace

std::string ScrambleKeyFor(const std::string& computerName) {
    return computerName.substr(0, 2) + kScrambleConstant;
}

std::string ScrambleKey() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    std::string host(name);
    // The machine name is the host name without its domain, as a workstation
    // name would be, and never longer than 15 characters.
    host = host.substr(0, std::min(host.find('.'), std::size_t{15}));
    return ScrambleKeyFor(host);
}

void ScrambleText(std::string& text, const std::string& key) {
    if (key.empty()) return;
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(text[i]) +
                                   static_cast<unsigned char>(key[i % key.size()]) + 1);
    StopAtZero(out);
    text = std::move(out);
}

void UnscrambleText(std::string& text, const std::string& key) {
    if (key.empty()) return;
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(text[i]) -
                                   static_cast<unsigned char>(key[i % key.size()]) - 1);
    StopAtZero(out);
    text = std::move(out);
}

int ClampRefreshInterval(long minutes, int maintainerServiceFlag) {
    if (maintainerServiceFlag == 1 && minutes < 30) return 30;
    if (minutes > 9999) return 9999;
    return static_cast<int>(minutes);
}

bool LoadSettings(IniFile& ini, Settings& s, const std::string& key) {
    auto L = [&](const char* k, const std::string& def = "") { return ini.GetString(kLocalSettings, k, def); };
    auto LI = [&](const char* k, long def) { return static_cast<int>(ini.GetInt(kLocalSettings, k, def)); };
    auto P = [&](const char* k, const std::string& def = "") { return ini.GetString(kPreferences, k, def); };
    auto PI = [&](const char* k, long def) { return static_cast<int>(ini.GetInt(kPreferences, k, def)); };

    std::string server = L("FTPServer");
    if (server.empty()) return false;

    FtpSiteFields& f = s.ftpPage;
    f.FTPServer = server;
    f.SiteName = L("SiteName");
    f.UserID = L("UserID");
    std::string ftpPassword = L("Password");
    f.OnlineFile = L("OnlineFile");
    f.OfflineFile = L("OfflineFile");
    f.RemoteFile = L("RemoteFile");
    f.Port = L("Port", "21");
    s.FTPOnIPChangeOnly = LI("FTPOnIPChangeOnly", 0);
    s.EnableFTP = LI("EnableFTP", 0);

    // The output names must never be empty: repair the file at once.
    s.SaveFileASCII = L("SaveFileASCII");
    if (s.SaveFileASCII.empty()) {
        s.SaveFileASCII = "Zelmar.txt";
        ini.WriteString(kLocalSettings, "SaveFileASCII", s.SaveFileASCII);
    }
    s.SaveFileHTML = L("SaveFileHTML");
    if (s.SaveFileHTML.empty()) {
        s.SaveFileHTML = "Zelmar.html";
        ini.WriteString(kLocalSettings, "SaveFileHTML", s.SaveFileHTML);
    }

    s.WANIPURL = L("WANIPURL");
    const std::string upper = UpperAscii(s.WANIPURL);
    s.MaintainerServiceFlag = (s.WANIPURL.empty() || upper.find("HOLDENVALE") != std::string::npos ||
                               upper.find("ZELMAR") != std::string::npos ||
                               upper.find("TARNWICK") != std::string::npos)
                                  ? 1
                                  : 0;
    s.StatusIndicators = L("StatusIndicators", "TRUE/FALSE");

    s.IsLogging = PI("IsLogging", 0);
    s.LogFilename = P("LogFilename");
    s.IsMinOnStartup = PI("IsMinOnStartup", 0);
    s.IsUpdateOnStart = PI("IsUpdateOnStart", 0);
    s.IsUpdateOnShut = PI("IsUpdateOnShut", 0);
    s.NotifyErrorOnShut = PI("NotifyErrorOnShut", 1);
    s.SuppressError = PI("SuppressError", 0);
    s.UpdateOnNAIP = PI("UpdateOnNAIP", 1);
    s.RefreshIntv = ClampRefreshInterval(ini.GetInt(kPreferences, "RefreshIntv", 0), s.MaintainerServiceFlag);
    s.InitStartupDelay = PI("InitStartupDelay", 0);
    s.Timeout = PI("Timeout", 15);
    s.MaxLog = PI("MaxLog", 0);
    s.UseProxy = PI("UseProxy", 0);
    s.LogonType = PI("LogonType", 0);
    s.ProxyPassive = PI("ProxyPassive", 1);
    s.ProxyAddress = P("ProxyAddress");
    s.FTPProxyPort = PI("FTPProxyPort", 21);
    s.HTTPProxyPort = P("HTTPProxyPort", "80");
    s.ProxyUser = P("ProxyUser");
    std::string proxyPassword = P("ProxyPass");
    s.ProxyAccount = P("ProxyAccount");
    s.StartDelimiter = P("StartDelimiter");
    s.EndDelimiter = P("EndDelimiter");
    s.EmailInput = P("EmailInput");
    s.EmailServer = P("EmailServer");
    s.EmailServerPort = PI("EmailServerPort", 25);
    // The page takes up to 2048 characters: a list cut at the usual limit
    // would end in a wrong address.
    s.EmailTo = ini.GetString(kPreferences, "EmailTo", "", kMaxEmailToChars);
    s.EmailFrom = P("EmailFrom");
    s.EmailSubject = P("EmailSubject");
    s.EnableMail = PI("EnableMail", 0);
    s.EmailAccount = P("EmailAccount");
    s.EmailPassword = P("EmailPassword");
    UnscrambleText(s.EmailPassword, key);
    s.EnableSMTPAuth = PI("EnableSMTPAuth", 0);
    s.EnableSecureSMTP = PI("EnableSecureSMTP", 0);
    s.IsMailTo = PI("IsMailTo", 0);
    s.IsMsgAttachment = PI("IsMsgAttachment", 0);
    s.EmailOnIPChangeOnly = PI("EmailOnIPChangeOnly", 0);
    s.TriggerProgramStatusUpdate = PI("TriggerProgramStatusUpdate", 0);

    // A delimiter pair is never mixed from a stored value and a default.
    if (s.StartDelimiter.empty() || s.EndDelimiter.empty()) {
        s.StartDelimiter = "REMOTE_ADDR:";
        s.EndDelimiter = "<br>";
    }

    UnscrambleText(ftpPassword, key);
    f.Password = ftpPassword;
    UnscrambleText(proxyPassword, key);
    s.ProxyPass = proxyPassword;
    return true;
}

bool WriteDefaultSettings(IniFile& ini, const std::string& key) {
    std::string password = "yourpw";
    ScrambleText(password, key);
    bool ok = true;
    auto L = [&](const char* k, const std::string& v) { ok = ini.WriteString(kLocalSettings, k, v) && ok; };
    auto P = [&](const char* k, const std::string& v) { ok = ini.WriteString(kPreferences, k, v) && ok; };
    L("FTPServer", kPlaceholderFtpServer);
    L("SiteName", "My FTP Site");
    L("UserID", "myname");
    L("Password", password);
    L("OnlineFile", "samples/online.htm");
    L("OfflineFile", "samples/offline.htm");
    L("RemoteFile", "mypage.htm");
    L("Port", "21");
    L("SaveFileHTML", "Zelmar.html");
    L("SaveFileASCII", "Zelmar.txt");
    L("EnableFTP", "0");
    P("IsLogging", "0");
    P("LogFilename", "Zelmar.log");
    P("IsMinOnStartup", "0");
    P("IsUpdateOnStart", "1");
    P("IsUpdateOnShut", "0");
    P("NotifyErrorOnShut", "0");
    P("SuppressError", "0");
    P("RefreshIntv", "0");
    P("Timeout", "15");
    P("MaxLog", "0");
    return ok;
}

void WriteSavedSettings(IniFile& ini, const Settings& s, const std::string& key) {
    std::string ftpPassword = s.ftpPage.Password;
    ScrambleText(ftpPassword, key);
    std::string proxyPassword = s.ProxyPass;
    ScrambleText(proxyPassword, key);

    auto L = [&](const char* k, const std::string& v) { ini.WriteString(kLocalSettings, k, v); };
    auto P = [&](const char* k, const std::string& v) { ini.WriteString(kPreferences, k, v); };
    auto PN = [&](const char* k, int v) { P(k, std::to_string(v)); };
    const FtpSiteFields& f = s.ftpPage;
    L("FTPServer", f.FTPServer);
    L("SiteName", f.SiteName);
    L("UserID", f.UserID);
    L("Password", ftpPassword);
    L("OnlineFile", f.OnlineFile);
    L("OfflineFile", f.OfflineFile);
    L("RemoteFile", f.RemoteFile);
    L("Port", f.Port);
    L("FTPOnIPChangeOnly", std::to_string(s.FTPOnIPChangeOnly));
    L("EnableFTP", std::to_string(s.EnableFTP));
    PN("IsLogging", s.IsLogging);
    P("LogFilename", s.LogFilename);
    PN("IsMinOnStartup", s.IsMinOnStartup);
    PN("IsUpdateOnStart", s.IsUpdateOnStart);
    PN("IsUpdateOnShut", s.IsUpdateOnShut);
    PN("NotifyErrorOnShut", s.NotifyErrorOnShut);
    PN("Timeout", s.Timeout);
    PN("MaxLog", s.MaxLog);
    PN("SuppressError", s.SuppressError);
    PN("UpdateOnNAIP", s.UpdateOnNAIP);
    PN("ProxyPassive", s.ProxyPassive);
    PN("UseProxy", s.UseProxy);
    P("ProxyAddress", s.ProxyAddress);
    P("HTTPProxyPort", s.HTTPProxyPort);
    PN("FTPProxyPort", s.FTPProxyPort);
    P("ProxyUser", s.ProxyUser);
    P("ProxyAccount", s.ProxyAccount);
    P("ProxyPass", proxyPassword);
    PN("LogonType", s.LogonType);
    PN("RefreshIntv", s.RefreshIntv);
    PN("InitStartupDelay", s.InitStartupDelay);
    P("EmailInput", s.EmailInput);
    P("EmailServer", s.EmailServer);
    PN("EmailServerPort", s.EmailServerPort);
    P("EmailTo", s.EmailTo);
    P("EmailFrom", s.EmailFrom);
    P("EmailSubject", s.EmailSubject);
    PN("EnableMail", s.EnableMail);
    PN("EnableSMTPAuth", s.EnableSMTPAuth);
    PN("EnableSecureSMTP", s.EnableSecureSMTP);
    PN("IsMailTo", s.IsMailTo);
    PN("IsMsgAttachment", s.IsMsgAttachment);
    PN("EmailOnIPChangeOnly", s.EmailOnIPChangeOnly);
}

void CopyFtpPageToWorking(Settings& s) {
    const FtpSiteFields& f = s.ftpPage;
    s.ftp.FTPServer = f.FTPServer;
    s.ftp.SiteName = f.SiteName;
    s.ftp.UserID = f.UserID;
    s.ftp.Password = f.Password;
    s.ftp.OnlineFile = f.OnlineFile;
    s.ftp.OfflineFile = f.OfflineFile;
    s.ftp.RemoteFile = f.RemoteFile;
    s.ftp.Port = static_cast<int>(LeadingInt(f.Port));
}

}  // namespace zelmar
