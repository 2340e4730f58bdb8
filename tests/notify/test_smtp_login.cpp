// The SMTP login keys as the login dialog and --set-smtp-login keep them.
#include <gtest/gtest.h>

#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/notify/smtp_login.h"
#include "tests/support/peer_process.h"

using namespace zelmar;

namespace {
const std::string kKey = ScrambleKeyFor("host");
}

TEST(SmtpLogin, AccountInClearPasswordOnlyScrambledAndReadBack) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    std::string error;
    ASSERT_TRUE(WriteSmtpLogin(ini, {"joe@example.com", "Secret pw 42"}, kKey, error)) << error;
    const std::string file = test::ReadFile(ini.path());
    EXPECT_NE(file.find("EmailAccount=joe@example.com"), std::string::npos);
    EXPECT_EQ(file.find("Secret pw 42"), std::string::npos);
    const SmtpLogin back = ReadSmtpLogin(ini, kKey);
    EXPECT_EQ(back.account, "joe@example.com");
    EXPECT_EQ(back.password, "Secret pw 42");
    // The settings store reads the same keys the same way.
    ASSERT_TRUE(ini.WriteString(kLocalSettings, "FTPServer", std::string("ftp.example.com")));
    Settings s;
    ASSERT_TRUE(LoadSettings(ini, s, kKey));
    EXPECT_EQ(s.EmailAccount, "joe@example.com");
    EXPECT_EQ(s.EmailPassword, "Secret pw 42");
}

struct RefusedCase {
    const char* what;
    std::string account;
    std::string password;
};

class SmtpLoginRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(SmtpLoginRefused, LeavesTheFileAsItWas) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    std::string error;
    ASSERT_TRUE(WriteSmtpLogin(ini, {"old@example.com", "oldpw"}, kKey, error));
    const std::string before = test::ReadFile(ini.path());
    EXPECT_FALSE(WriteSmtpLogin(ini, {GetParam().account, GetParam().password}, kKey, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::ReadFile(ini.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SmtpLoginRefused,
    ::testing::Values(RefusedCase{"empty", "", "pw"}, RefusedCase{"blank", "   ", "pw"},
                      RefusedCase{"longAccount", std::string(256, 'a'), "pw"},
                      RefusedCase{"longPassword", "joe", std::string(256, 'p')},
                      RefusedCase{"lineBreak", "joe\nEnableMail=1", "pw"},
                      RefusedCase{"passwordLineBreak", "joe", "pw\r\nx"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(SmtpLogin, LongestValuesAreKept) {
    test::ScratchDir dir;
    IniFile ini(dir / "Zelmar.ini");
    std::string error;
    const std::string account(255, 'a');
    ASSERT_TRUE(WriteSmtpLogin(ini, {account, "pw"}, kKey, error)) << error;
    EXPECT_EQ(ReadSmtpLogin(ini, kKey).account, account);
}
