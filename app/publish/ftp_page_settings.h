// The FTP page channel's settings: the site's keys in "LocalSettings" and
// the FTP firewall's in "Preferences". They are rows of the one settings
// table (registered by ftp_page_settings.cpp), so they load, save and take
// their first-run values exactly as the core's own keys do.
//
// Member names are the key names as stored in the file.
#pragma once

#include <string>

#include "app/core/settings.h"

namespace zelmar {

// Placeholder written at first run; it only tells the user what to enter.
inline constexpr const char* kPlaceholderFtpServer = "ftp.your-site.example";

// The eight FTP site values. They exist twice: as the fields of the FTP
// settings page (edited, saved) and as the working copy the publishing
// workers use; a commit of the pages' edits copies the former into the
// latter.
struct FtpSiteFields {
    std::string FTPServer, SiteName, UserID, Password, OnlineFile, OfflineFile, RemoteFile;
    std::string Port = "21";

    bool Complete() const {
        return !FTPServer.empty() && !SiteName.empty() && !UserID.empty() && !Password.empty() &&
               !OnlineFile.empty() && !OfflineFile.empty() && !RemoteFile.empty() && !Port.empty();
    }
};

struct FtpWorkingSettings {
    std::string FTPServer, SiteName, UserID, Password, OnlineFile, OfflineFile, RemoteFile;
    int Port = 21;
};

struct FtpPageSettings {
    // "LocalSettings"
    FtpSiteFields ftpPage;
    FtpWorkingSettings ftp;
    int FTPOnIPChangeOnly = 0;
    int EnableFTP = 0;
    // Where visitors read the page ("https://example.org/status.htm"); when
    // set, an upload counts only once the page read back from there shows
    // the new WAN address.
    std::string PageURL;

    // "Preferences": the FTP firewall. A running refresh keeps "UseProxy"
    // as it was when the refresh was let through.
    int UseProxy = 0;
    int LogonType = 0;
    int ProxyPassive = 1;
    std::string ProxyAddress;
    int FTPProxyPort = 21;
    std::string HTTPProxyPort = "80";
    std::string ProxyUser;
    std::string ProxyPass;
    std::string ProxyAccount;
};

// The FTP page's part of s. Not inline: whatever reads or edits these values
// links the file that registers their keys, so they are loaded and saved.
FtpPageSettings& FtpPageOf(Settings& s);
const FtpPageSettings& FtpPageOf(const Settings& s);

// The two passwords the FTP pages edit, as secrets of the SecretStore: the
// site's ("Password") and the firewall's ("ProxyPass"), each named after the
// server and account it opens.
SecretId FtpSecretId(const Settings& s);
SecretId ProxySecretId(const Settings& s);

// Copies the FTP page fields into the working FTP settings.
void CopyFtpPageToWorking(Settings& s);

}  // namespace zelmar
