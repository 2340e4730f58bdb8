// The page over FTP with TLS (proftpd with mod_tls) and over SFTP (sshd):
// what arrives, what is refused before the login, and the line that says so.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/notify/certificate_pins.h"
#include "app/publish/secure_page_upload.h"
#include "tests/publish/proftpd_peer.h"
#include "tests/publish/secure_peers.h"

using namespace zelmar;
using namespace zelmar::test;

// The uploads below name only the members a row sets; the rest keep their
// defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

class CodeReporter : public Reporter {
public:
    void Post(StatusMessage message) override { codes += message.code + " "; }
    MbAnswer ErrorBox(const MessageBoxRequest& request) override { return request.defaultAnswer; }
    bool Closing() const override { return false; }
    std::string codes;
};

// Every byte value over several buffers: a text-mode step would show.
std::string SecurePayload() {
    std::string bytes;
    for (int i = 0; i < 300000; ++i) bytes.push_back(static_cast<char>((i * 7 + i / 256) % 256));
    return bytes + "\r\n\n";
}

struct UrlCase { PageProtocol protocol; const char *host, *remoteFile, *url; };
class SecureUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(SecureUrl, FolderAndNameAreEscapedAndRooted) {
    const SecureUpload job{{.protocol = GetParam().protocol}, GetParam().host, "", "", 0, GetParam().remoteFile};
    EXPECT_EQ(SecureUploadUrl(job), GetParam().url);
}

INSTANTIATE_TEST_SUITE_P(Rows, SecureUrl, ::testing::Values(
    UrlCase{PageProtocol::Ftp, "h", "page.htm", "ftp://h:21/page.htm"},
    UrlCase{PageProtocol::Ftp, "h", "/www/a b/p.htm", "ftp://h:21/%2Fwww%2Fa%20b/p.htm"},
    UrlCase{PageProtocol::Ftp, "h", "www\\p.htm", "ftp://h:21/www/p.htm"},
    UrlCase{PageProtocol::Sftp, "h", "dir/p.htm", "sftp://h:22/~/dir/p.htm"},
    UrlCase{PageProtocol::Sftp, "::1", "/var/www/p#1?.htm", "sftp://[::1]:22/var/www/p%231%3F.htm"}));

struct SettingsCase { const char* lines; PageProtocol protocol; FtpSecurity security; const char* badKey; };
class SecureSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SecureSettings, ValuesAreReadAndStrangersRefused) {
    ScratchDir dir;
    WriteFile(dir / "z.ini", std::string("[LocalSettings]\n") + GetParam().lines);
    const SecurePageSettings how = ReadSecurePageSettings(IniFile(dir / "z.ini"), dir.path());
    EXPECT_EQ(how.protocol, GetParam().protocol);
    EXPECT_EQ(how.security, GetParam().security);
    EXPECT_EQ(how.badKey, GetParam().badKey);
    EXPECT_EQ(how.Secured(), *GetParam().lines != '\0');
}

INSTANTIATE_TEST_SUITE_P(Rows, SecureSettings, ::testing::Values(
    SettingsCase{"", PageProtocol::Ftp, FtpSecurity::None, ""},
    SettingsCase{"PageProtocol= SFTP \n", PageProtocol::Sftp, FtpSecurity::None, ""},
    SettingsCase{"FTPSecurity=Require\n", PageProtocol::Ftp, FtpSecurity::Require, ""},
    SettingsCase{"PageProtocol=ftps\n", PageProtocol::Ftp, FtpSecurity::None, "PageProtocol"},
    SettingsCase{"FTPSecurity=implicit\n", PageProtocol::Ftp, FtpSecurity::None, "FTPSecurity"}));

struct FtpsCase {
    const char* name;
    FtpSecurity security;
    const char* certificate;  // the server's: "server" (CA-signed), "stray", "" (no TLS)
    bool passive, giveCa, wrongPin, requireVerified;
    const char* step;  // "" when delivered
    const char* code;  // a line that must be posted ("" none)
};
class Ftps : public ::testing::TestWithParam<FtpsCase> {};

TEST_P(Ftps, UploadsOnlyOverTheTrustedConnection) {
    const FtpsCase& row = GetParam();
    if (::access((ProftpdFirewall::InstallDir() + "/usr/lib/proftpd/mod_tls.so").c_str(), R_OK) != 0)
        GTEST_SKIP() << "mod_tls is not unpacked (scripts/install-deps.sh)";
    static const TestCertificates certificates;
    ProftpdServer server(*row.certificate ? certificates.ProftpdTls(row.certificate, true) : "");
    ASSERT_TRUE(server.ok()) << server.reason();
    server.MakeFolder("site");
    ScratchDir dir;
    WriteFile(dir / "page.htm", SecurePayload());
    IniFile ini(dir / "z.ini");
    const std::string pinKey = CertificatePinKey("127.0.0.1", server.port());
    ASSERT_TRUE(!row.wrongPin || StoreCertificatePin(ini, pinKey, std::string(64, 'a')));
    const SecureUpload job{{.security = row.security, .caFile = row.giveCa ? certificates.ca() : ""}, "127.0.0.1",
                           ProftpdServer::kUser, ProftpdServer::kPassword, server.port(), "site/page.htm",
                           dir / "page.htm", row.passive, row.requireVerified, 10};
    CodeReporter reporter;
    const DeliveryResult result = UploadPageSecurely(job, ini, reporter);
    EXPECT_EQ(result.step, row.step) << reporter.codes << result.why;
    EXPECT_EQ(result.ok(), *row.step == '\0');
    EXPECT_EQ(ReadFile(server.home() + "/site/page.htm"), result.ok() ? SecurePayload() : "");
    EXPECT_TRUE(!*row.code || reporter.codes.find(row.code) != std::string::npos) << reporter.codes;
    // A refused server (its certificate, no TLS) never hears the password.
    EXPECT_EQ(server.Log().find("Login successful") != std::string::npos, result.ok()) << server.Log();
    // A certificate trusted on first use is remembered, and passes silently
    // from then on.
    if (std::string(row.code) == "P10157") {
        EXPECT_EQ(StoredCertificatePin(ini, pinKey).size(), 64u);
        CodeReporter again;
        EXPECT_TRUE(UploadPageSecurely(job, ini, again).ok()) << again.codes;
        EXPECT_EQ(again.codes.find("P10157"), std::string::npos) << again.codes;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Ftps, ::testing::Values(
    FtpsCase{"VerifiedPassive", FtpSecurity::Require, "server", true, true, false, true, "", ""},
    FtpsCase{"VerifiedActive", FtpSecurity::Require, "server", false, true, false, true, "", ""},
    FtpsCase{"UnverifiedTrustedOnFirstUse", FtpSecurity::Explicit, "stray", true, false, false, false, "", "P10157"},
    FtpsCase{"ChangedCertificateRefused", FtpSecurity::Require, "stray", true, false, true, false, "certificate", "P10158"},
    FtpsCase{"UnverifiedRefusedWhenRequired", FtpSecurity::Require, "stray", false, false, false, true, "certificate", "P10158"},
    FtpsCase{"CaFileTrustsOnlyItsOwn", FtpSecurity::Require, "stray", true, true, false, true, "certificate", "P10158"},
    FtpsCase{"NoTlsRefusedUnderRequire", FtpSecurity::Require, "", true, false, false, false, "TLS", "P10153"},
    FtpsCase{"NoTlsWarnedUnderExplicit", FtpSecurity::Explicit, "", true, false, false, false, "", "P10154"}),
    [](const auto& info) { return std::string(info.param.name); });

// foreignKeyKnown: known_hosts holds another key for the server.
struct SftpCase { const char* name; bool foreignKeyKnown; const char *step, *code; };
class Sftp : public ::testing::TestWithParam<SftpCase> {};

TEST_P(Sftp, HostKeyIsAddedOnceAndAChangeRefused) {
    SshdPeer sshd;
    if (!sshd.ok()) GTEST_SKIP() << sshd.reason();
    ScratchDir dir;
    WriteFile(dir / "page.htm", SecurePayload());
    const std::string known = dir / "ssh/known_hosts";
    const std::string hostName = "[127.0.0.1]:" + std::to_string(sshd.port());
    if (GetParam().foreignKeyKnown) {
        ASSERT_EQ(::mkdir((dir / "ssh").c_str(), 0700), 0);
        WriteFile(known, "# kept\n" + hostName + " " + sshd.ForeignHostKey() + "\n");
    }
    IniFile ini(dir / "z.ini");
    const SecureUpload job{{.protocol = PageProtocol::Sftp, .keyFile = sshd.clientKey()}, "127.0.0.1", "root", "",
                           sshd.port(), dir / "page.copy", dir / "page.htm", true, false, 10, known};
    for (int run = 0; run < 2; ++run) {
        CodeReporter reporter;
        const DeliveryResult result = UploadPageSecurely(job, ini, reporter);
        EXPECT_EQ(result.step, GetParam().step) << reporter.codes << result.why;
        EXPECT_EQ(sshd.Logins(), result.ok() ? run + 1 : 0);
        EXPECT_EQ(ReadFile(dir / "page.copy"), result.ok() ? SecurePayload() : "");
        // The line of the first run only: the key is known from then on.
        EXPECT_EQ(reporter.codes.find(GetParam().code) != std::string::npos, run == 0 || !result.ok()) << reporter.codes;
    }
    const std::string lines = ReadFile(known);
    if (GetParam().foreignKeyKnown) {
        EXPECT_EQ(lines, "# kept\n" + hostName + " " + sshd.ForeignHostKey() + "\n");
    } else {
        EXPECT_TRUE(lines.rfind(hostName + " ssh-ed25519 ", 0) == 0 && std::count(lines.begin(), lines.end(), '\n') == 1)
            << lines;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Sftp, ::testing::Values(
    SftpCase{"UnknownKeyAdded", false, "", "P10151"},
    SftpCase{"ChangedKeyRefused", true, "host key", "P10152"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
