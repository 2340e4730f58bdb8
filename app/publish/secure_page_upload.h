// The status page over a secured connection: SFTP, or FTP with TLS (AUTH
// TLS, then PBSZ 0 and PROT P, so that the data connection is encrypted too).
//
// Both go through libcurl: its SFTP is libssh2, and its FTP reuses the
// control connection's TLS session on every data connection, which most
// servers insist on. The page, the server, the port, the login and
// "RemoteFile" are the FTP page's; what is read here is only how to secure
// them, from [LocalSettings]:
//
//   PageProtocol=ftp|sftp            ftp (the default): FTP as set below
//   FTPSecurity=none|explicit|require
//                                    explicit: TLS when the server offers
//                                    it, else on in clear with a warning;
//                                    require: never in clear
//   SFTPKeyFile=                     a private key; "Password" is then its
//                                    passphrase (may be empty)
//   FTPSCAFile=                      certificates to trust instead of the
//                                    system's (a private CA)
//
// A server certificate that cannot be verified is trusted on first use and
// must stay the same afterwards, exactly as the mail server's: the same
// "[CertificatePins]" section, one "host:port" per server, and refused
// outright with "RequireVerifiedCertificate". The SFTP host key is checked
// against ~/.ssh/known_hosts; an unknown one is added with a warning, a
// changed one refused before the login.
#pragma once

#include <memory>
#include <string>

#include "app/publish/publishing.h"

namespace zelmar {

class IniFile;

enum class PageProtocol { Ftp, Sftp };
enum class FtpSecurity { None, Explicit, Require };

struct SecurePageSettings {
    PageProtocol protocol = PageProtocol::Ftp;
    FtpSecurity security = FtpSecurity::None;
    std::string keyFile;  // "SFTPKeyFile", made absolute
    std::string caFile;   // "FTPSCAFile", made absolute
    // "Port" was written in the file: SFTP otherwise (and for 21) takes 22.
    bool portGiven = false;
    // A value that is none of the choices ("PageProtocol=ftps"): the page
    // is then not sent at all, rather than sent in clear by mistake. Holds
    // the key, the value and the choices.
    std::string badKey, badValue, choices;

    // True when the page does not go by plain FTP (or must not go at all).
    bool Secured() const {
        return protocol == PageProtocol::Sftp || security != FtpSecurity::None || !badKey.empty();
    }
};

// The keys above; relative file names are taken from startDirectory.
SecurePageSettings ReadSecurePageSettings(const IniFile& ini, const std::string& startDirectory);

// One upload, with everything it needs spelt out.
struct SecureUpload {
    SecurePageSettings how;
    std::string host, user, password;
    int port = 0;  // 0: the protocol's own (22, 21)
    std::string remoteFile;
    std::string localFile;
    bool passive = true;  // FTP: PASV (EPSV) or PORT (EPRT)
    bool requireVerified = false;
    int timeoutSeconds = 0;
    // Where SFTP host keys are looked up and added.
    std::string knownHostsFile;
};

// "~/.ssh/known_hosts" of the user the program runs as.
std::string DefaultKnownHostsFile();

// The libcurl URL of the upload: "RemoteFile" split as the FTP client
// splits it; a relative name is taken from the login folder (SFTP's "/~/"),
// an absolute one from the root (FTP's "%2F"). Other bytes than letters,
// digits, "-._~" and the separators are percent-encoded.
std::string SecureUploadUrl(const SecureUpload& job);

// Stores the page, posting each step; pins (in ini) as described above.
DeliveryResult UploadPageSecurely(const SecureUpload& job, IniFile& ini, Reporter& reporter);

// The FTP channel, or (when [LocalSettings] asks for it) the one that sends
// the page over SFTP or FTP with TLS. settings: with the passwords read.
std::unique_ptr<DeliveryChannel> MakePageChannel(const Settings& settings, const ChannelContext& context);

}  // namespace zelmar
