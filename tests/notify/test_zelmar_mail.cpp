// The program itself: one refresh with e-mail on against a loopback SMTP
// server, the same with the server down, and the SMTP login stored from a
// terminal without echo.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "tests/support/smtp_peer.h"

using namespace zelmar;
using namespace zelmar::test;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// Runs a shell command line in the folder; returns its exit code.
int RunIn(const ScratchDir& dir, const std::string& commandLine, const std::string& logFile) {
    ChildProcess p({"/bin/sh", "-c", "cd " + Quote(dir.path()) + " && " + commandLine}, logFile);
    const int status = p.Wait(std::chrono::seconds(60));
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Settings for one refresh: no upload, the echo page unreachable (so the
// WAN address reads as unknown), e-mail on.
void WriteMailSettings(const ScratchDir& dir, int smtpPort) {
    WriteFile(dir / "ip.txt", "WAN %WI LAN %I status %S\r\n");
    IniFile ini(dir / "Zelmar.ini");
    const std::pair<const char*, std::string> local[] = {
        {"FTPServer", "ftp.example.com"}, {"SiteName", "Site"},           {"UserID", "u"},
        {"Password", "p"},                {"OnlineFile", "ip.txt"},       {"OfflineFile", "ip.txt"},
        {"RemoteFile", "page.htm"},       {"EnableFTP", "0"},             {"SaveFileHTML", ""},
        {"SaveFileASCII", ""},            {"WANIPURL", "http://127.0.0.1:" + std::to_string(FreePort()) + "/"},
    };
    for (const auto& [k, v] : local) ASSERT_TRUE(ini.WriteString(kLocalSettings, k, v));
    const std::pair<const char*, std::string> prefs[] = {
        {"EnableMail", "1"},
        {"EmailServer", "127.0.0.1"},
        {"EmailServerPort", std::to_string(smtpPort)},
        {"EmailFrom", "zelmar@example.com"},
        {"EmailTo", "joe@example.com;ann@example.com"},
        {"EmailSubject", "Addresses"},
        {"EmailInput", "ip.txt"},
        {"EnableSMTPAuth", "1"},
        {"Timeout", "2"},
    };
    for (const auto& [k, v] : prefs) ASSERT_TRUE(ini.WriteString(kPreferences, k, v));
}

}  // namespace

TEST(ZelmarOnce, SendsOneMailWithTheStoredLogin) {
    SmtpPeer::Options o;
    o.login = "joe@example.com:my secret";
    SmtpPeer server(o);
    ASSERT_TRUE(server.ok());
    ScratchDir dir;
    WriteMailSettings(dir, server.port());
    ASSERT_EQ(RunIn(dir, "printf 'my secret\\n' | " + Quote(ZELMAR_BINARY) + " --config-dir . --set-smtp-login joe@example.com",
                  dir / "login.txt"),
              0)
        << ReadFile(dir / "login.txt");
    const std::string ini = ReadFile(dir / "Zelmar.ini");
    EXPECT_TRUE(Has(ini, "EmailAccount=joe@example.com"));
    EXPECT_FALSE(Has(ini, "my secret"));

    RunIn(dir, Quote(ZELMAR_BINARY) + " --config-dir . --once", dir / "out.txt");
    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_EQ(Count(out, "Attempting to send e-mail..."), 2) << out;
    ASSERT_EQ(server.Count(), 1) << out;
    EXPECT_TRUE(Has(server.Meta(1), "\"login\": \"joe@example.com\""));
    EXPECT_TRUE(Has(server.Raw(1), " status Online")) << server.Raw(1);
    EXPECT_FALSE(Has(out, "SMTPErrors.xml"));
}

TEST(ZelmarOnce, ServerDownLeavesTheErrorFileWithoutThePassword) {
    ScratchDir dir;
    WriteMailSettings(dir, FreePort());
    IniFile ini(dir / "Zelmar.ini");
    ASSERT_TRUE(ini.WriteString(kPreferences, "EmailAccount", std::string("joe")));
    std::string scrambled = "Pa55word!";
    ScrambleText(scrambled, ScrambleKey());
    ASSERT_TRUE(ini.WriteString(kPreferences, "EmailPassword", scrambled));
    RunIn(dir, Quote(ZELMAR_BINARY) + " --config-dir . --once", dir / "out.txt");
    const std::string out = ReadFile(dir / "out.txt");
    EXPECT_EQ(Count(out, "Attempting to send e-mail..."), 1) << out;
    EXPECT_TRUE(Has(out, "Email not sent; see SMTPErrors.xml for details")) << out;
    const std::string xml = ReadFile(dir / "SMTPErrors.xml");
    EXPECT_TRUE(Has(xml, "<error>Failed to connect to SMTP server.</error>")) << xml;
    EXPECT_FALSE(Has(xml, "Pa55word!"));
    EXPECT_FALSE(Has(xml, "UGE1NXdvcmQh"));  // its base64 form
    EXPECT_FALSE(Has(xml, scrambled));
}

TEST(SetSmtpLogin, ATerminalDoesNotEchoThePassword) {
    ScratchDir dir;
    const std::string shown = [&] {
        RunIn(dir,
            std::string(kSystemPython) + " " + Quote(ZELMAR_TTY_LOGIN) + " " + Quote(ZELMAR_BINARY) + " " +
                Quote(dir.path()) + " joe@example.com 'Typed Secret'",
            dir / "tty.txt");
        return ReadFile(dir / "tty.txt");
    }();
    EXPECT_TRUE(Has(shown, "SMTP password:")) << shown;
    EXPECT_FALSE(Has(shown, "Typed Secret")) << shown;
    EXPECT_TRUE(Has(shown, "EXIT 0")) << shown;
    IniFile ini(dir / "Zelmar.ini");
    EXPECT_EQ(ini.GetString(kPreferences, "EmailAccount"), "joe@example.com");
    std::string password = ini.GetString(kPreferences, "EmailPassword");
    EXPECT_NE(password, "Typed Secret");
    UnscrambleText(password, ScrambleKey());
    EXPECT_EQ(password, "Typed Secret");
}

TEST(SetSmtpLogin, AnEmptyAccountIsRefused) {
    ScratchDir dir;
    EXPECT_EQ(RunIn(dir, "printf 'pw\\n' | " + Quote(ZELMAR_BINARY) + " --config-dir . --set-smtp-login ''", dir / "o.txt"), 2);
    EXPECT_EQ(RunIn(dir, Quote(ZELMAR_BINARY) + " --config-dir . --set-smtp-login", dir / "o.txt"), 2);
    EXPECT_EQ(ReadFile(dir / "Zelmar.ini"), "");
}
