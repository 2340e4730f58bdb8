#include "app/publish/ftp_page_settings.h"

#include "app/core/text.h"

namespace zelmar {

FtpPageSettings& FtpPageOf(Settings& s) { return s.parts.Get<FtpPageSettings>(); }
const FtpPageSettings& FtpPageOf(const Settings& s) { return s.parts.Get<FtpPageSettings>(); }

SecretId FtpSecretId(const Settings& s) {
    const FtpSiteFields& site = FtpPageOf(s).ftpPage;
    return SecretId{"ftp", kLocalSettings, "Password", site.FTPServer, site.UserID, TrimBlanks(site.Port)};
}

SecretId ProxySecretId(const Settings& s) {
    const FtpPageSettings& f = FtpPageOf(s);
    return SecretId{"proxy", kPreferences, "ProxyPass", f.ProxyAddress, f.ProxyUser, std::to_string(f.FTPProxyPort)};
}

void CopyFtpPageToWorking(Settings& settings) {
    FtpPageSettings& s = FtpPageOf(settings);
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

namespace {

using FtpForm = SettingForm;

#define FTP_FIELD(member) [](Settings& s) -> SettingField { return &FtpPageOf(s).member; }

// The orders' numbers are the places these keys have always had among the
// core's: the site first in a first run and a save, the firewall's keys
// among the preferences.
const SettingsPartRegistration kFtpPageSettingsPart{SettingsPart{
    {
        // section        key                  form             load default first run             #   save  repair
        {kLocalSettings, "FTPServer",          FtpForm::Text,      "",   kPlaceholderFtpServer, 1, 1, false, FTP_FIELD(ftpPage.FTPServer)},
        {kLocalSettings, "SiteName",           FtpForm::Text,      "",   "My FTP Site",         2, 2, false, FTP_FIELD(ftpPage.SiteName)},
        {kLocalSettings, "UserID",             FtpForm::Text,      "",   "myname",              3, 3, false, FTP_FIELD(ftpPage.UserID)},
        {kLocalSettings, "Password",           FtpForm::Scrambled, "",   "yourpw",              4, 4, false, FTP_FIELD(ftpPage.Password)},
        {kLocalSettings, "OnlineFile",         FtpForm::Text,      "",   "samples/online.htm",  5, 5, false, FTP_FIELD(ftpPage.OnlineFile)},
        {kLocalSettings, "OfflineFile",        FtpForm::Text,      "",   "samples/offline.htm", 6, 6, false, FTP_FIELD(ftpPage.OfflineFile)},
        {kLocalSettings, "RemoteFile",         FtpForm::Text,      "",   "mypage.htm",          7, 7, false, FTP_FIELD(ftpPage.RemoteFile)},
        {kLocalSettings, "Port",               FtpForm::Text,      "21", "21",                  8, 8, false, FTP_FIELD(ftpPage.Port)},
        {kLocalSettings, "FTPOnIPChangeOnly",  FtpForm::Number,    "0",  nullptr,               0, 9, false, FTP_FIELD(FTPOnIPChangeOnly)},
        {kLocalSettings, "EnableFTP",          FtpForm::Number,    "0",  "0",                  11, 10, false, FTP_FIELD(EnableFTP)},
        {kLocalSettings, "PageURL",            FtpForm::Text,      "",   nullptr,               0, 52, false, FTP_FIELD(PageURL)},
        {kPreferences,   "UseProxy",           FtpForm::Number,    "0",  nullptr,               0, 22, false, FTP_FIELD(UseProxy)},
        {kPreferences,   "LogonType",          FtpForm::Number,    "0",  nullptr,               0, 29, false, FTP_FIELD(LogonType), 0, 8},
        {kPreferences,   "ProxyPassive",       FtpForm::Number,    "1",  nullptr,               0, 21, false, FTP_FIELD(ProxyPassive)},
        {kPreferences,   "ProxyAddress",       FtpForm::Text,      "",   nullptr,               0, 23, false, FTP_FIELD(ProxyAddress)},
        {kPreferences,   "FTPProxyPort",       FtpForm::Number,    "21", nullptr,               0, 25, false, FTP_FIELD(FTPProxyPort)},
        {kPreferences,   "HTTPProxyPort",      FtpForm::Text,      "80", nullptr,               0, 24, false, FTP_FIELD(HTTPProxyPort)},
        {kPreferences,   "ProxyUser",          FtpForm::Text,      "",   nullptr,               0, 26, false, FTP_FIELD(ProxyUser)},
        {kPreferences,   "ProxyPass",          FtpForm::Scrambled, "",   nullptr,               0, 28, false, FTP_FIELD(ProxyPass)},
        {kPreferences,   "ProxyAccount",       FtpForm::Text,      "",   nullptr,               0, 27, false, FTP_FIELD(ProxyAccount)},
    },
    {
        {FtpSecretId, [](Settings& s) -> std::string& { return FtpPageOf(s).ftpPage.Password; }},
        {ProxySecretId, [](Settings& s) -> std::string& { return FtpPageOf(s).ProxyPass; }},
    },
    CopyFtpPageToWorking,
    [](const Settings& atStart, Settings& now) { FtpPageOf(now).UseProxy = FtpPageOf(atStart).UseProxy; },
}};

#undef FTP_FIELD

}  // namespace

}  // namespace zelmar
