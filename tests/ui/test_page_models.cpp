// The settings pages' rules, without widgets: each case starts a core on a
// settings file of its own, works a page model as the user would, and looks
// at the settings, the message boxes asked and the answers scripted.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/core/core.h"
#include "app/core/text.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"
#include "ui/autostart.h"
#include "ui/page_models.h"

using namespace zelmar;
using zelmar::test::FakeHost;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

constexpr const char* kSite =
    "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=s\nUserID=u\nPassword=p\n"
    "OnlineFile=on.htm\nOfflineFile=off.htm\nRemoteFile=page.htm\nPort=21\n";

struct Pages {
    // wanUrl empty: the maintainer's own address service (30-minute floor).
    explicit Pages(const std::string& preferences = "", const std::string& wanUrl = "http://echo.local/") {
        WriteFile(dir / "Zelmar.ini", std::string(kSite) + (wanUrl.empty() ? "" : "WANIPURL=" + wanUrl + "\n") +
                                           "[Preferences]\n" + preferences);
        core = std::make_unique<Core>(host, dir.path(), dir / "Zelmar.ini", "ab1234567");
        core->LoadOrCreateSettings();
    }
    Settings s() const { return core->settings(); }
    ScratchDir dir;
    FakeHost host;
    std::unique_ptr<Core> core;
};

// --- ports ---

struct PortCase {
    const char* text;
    bool valid;
};

class PortText : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortText, OnlyOneTo65535) { EXPECT_EQ(ValidPortText(GetParam().text), GetParam().valid) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(Ports, PortText,
                         ::testing::Values(PortCase{"1", true}, PortCase{"21", true}, PortCase{"65535", true},
                                           PortCase{"00021", true}, PortCase{"0", false}, PortCase{"65536", false},
                                           PortCase{"70000", false}, PortCase{"99999", false},
                                           PortCase{"123456", false}, PortCase{"", false}, PortCase{"21a", false},
                                           PortCase{"-21", false}, PortCase{" 21", false}));

TEST(FtpPage, APortThatWouldWrapIsRefusedAndTheOldOneKept) {
    Pages p;
    FtpPageModel ftp(*p.core);
    EXPECT_FALSE(ftp.CommitField(FtpField::Port, "70000"));
    ASSERT_EQ(p.host.boxes.size(), 1u);
    EXPECT_EQ(p.host.boxes[0].text, kPortRangeText);
    EXPECT_EQ(FtpPageOf(p.s()).ftpPage.Port, "21");
    EXPECT_TRUE(ftp.CommitField(FtpField::Port, " 2121 "));
    EXPECT_EQ(FtpPageOf(p.s()).ftpPage.Port, "2121");
    EXPECT_EQ(FtpPageOf(p.s()).ftp.Port, 21) << "the working value changes only with the next commit";
}

TEST(EmailPage, ServerPortOutOfRangeIsRefused) {
    Pages p;
    EmailPageModel mail(*p.core);
    for (const char* bad : {"0", "65536", "70000", ""}) {
        EXPECT_FALSE(mail.CommitPort(bad)) << bad;
        EXPECT_EQ(p.s().EmailServerPort, 25) << bad;
    }
    EXPECT_EQ(p.host.boxes.size(), 4u);
    EXPECT_TRUE(mail.CommitPort("587"));
    EXPECT_EQ(p.s().EmailServerPort, 587);
}

// --- FTP page ---

TEST(FtpPage, EveryFieldButTheSiteNameFollowsEnableFtp) {
    for (int enabled : {0, 1}) {
        Pages p("", "http://echo.local/");
        p.core->EditSettings([&](Settings& s) { FtpPageOf(s).EnableFTP = enabled; });
        FtpPageModel ftp(*p.core);
        for (int f = 0; f < 8; ++f) {
            const auto field = static_cast<FtpField>(f);
            EXPECT_EQ(ftp.FieldEnabled(field), field == FtpField::SiteName || enabled == 1)
                << "field " << f << " EnableFTP=" << enabled;
        }
    }
}

TEST(FtpPage, ClicksAreStoredAtOnceAndMarkThePage) {
    Pages p;
    FtpPageModel ftp(*p.core);
    EXPECT_FALSE(ftp.modified());
    ftp.SetEnableFtp(true);
    EXPECT_EQ(FtpPageOf(p.s()).EnableFTP, 1);
    EXPECT_TRUE(ftp.modified());
    ftp.SetFtpOnIpChangeOnly(true);
    EXPECT_EQ(FtpPageOf(p.s()).FTPOnIPChangeOnly, 1);
}

struct PasswordCase {
    std::string typed;
    std::string stored;
};

class FtpPassword : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(FtpPassword, TrimmedAndCutTo25) {
    Pages p;
    FtpPageModel ftp(*p.core);
    EXPECT_TRUE(ftp.CommitField(FtpField::Password, GetParam().typed));
    EXPECT_EQ(FtpPageOf(p.s()).ftpPage.Password, GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FtpPassword,
    ::testing::Values(PasswordCase{"  secret", "secret"}, PasswordCase{"secret  ", "secret"},
                      PasswordCase{std::string(25, 'x'), std::string(25, 'x')},
                      PasswordCase{std::string(30, 'y'), std::string(25, 'y')},
                      PasswordCase{"  " + std::string(24, 'z') + "ab", std::string(24, 'z') + "a"},
                      // Characters, not bytes: a cut never splits a letter.
                      PasswordCase{std::string(24, 'q') + "\xc3\xa9\xc3\xa9", std::string(24, 'q') + "\xc3\xa9"}));

// The limits are for new values: a stored value beyond them, committed back
// unchanged (the page shows it whole), is kept; any other text is cut.
struct KeptCase {
    std::string stored;
    std::string committed;
    std::string afterwards;
};

class LongStoredValues : public ::testing::TestWithParam<KeptCase> {};

TEST_P(LongStoredValues, PasswordAndRecipientsKeptWhenUnchanged) {
    const KeptCase c = GetParam();
    Pages p;
    p.core->EditSettings([&](Settings& s) { FtpPageOf(s).ftpPage.Password = c.stored; });
    FtpPageModel ftp(*p.core);
    EXPECT_TRUE(ftp.CommitField(FtpField::Password, c.committed));
    EXPECT_EQ(FtpPageOf(p.s()).ftpPage.Password, c.afterwards);

    // The recipients, at a hundred times the length (the limit is 2048).
    const auto scale = [](const std::string& t) {
        std::string r;
        for (int i = 0; i < 100; ++i) r += t;
        return r;
    };
    p.core->EditSettings([&](Settings& s) { s.EmailTo = scale(c.stored); });
    EmailPageModel mail(*p.core);
    mail.SetText(&Settings::EmailTo, scale(c.committed));
    const std::string typed = TrimBlanks(scale(c.committed));
    const std::string expected = typed == scale(c.stored) ? typed : typed.substr(0, std::min<std::size_t>(2048, typed.size()));
    EXPECT_EQ(p.s().EmailTo, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LongStoredValues,
    ::testing::Values(KeptCase{std::string(30, 'k'), std::string(30, 'k'), std::string(30, 'k')},
                      KeptCase{std::string(30, 'k'), " " + std::string(30, 'k') + " ", std::string(30, 'k')},
                      KeptCase{std::string(30, 'k'), std::string(31, 'k'), std::string(25, 'k')},
                      KeptCase{std::string(30, 'k'), std::string(30, 'j'), std::string(25, 'j')},
                      KeptCase{"short", std::string(30, 'm'), std::string(25, 'm')}));

// --- Advanced Options ---

struct IntervalCase {
    bool maintainer;
    const char* typed;
    bool accepted;
    int stored;  // the interval afterwards (the file holds 60)
};

class RefreshInterval : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(RefreshInterval, RangeFollowsTheMaintainerService) {
    const IntervalCase c = GetParam();
    Pages p("RefreshIntv=60\n", c.maintainer ? "" : "http://echo.local/");
    OptionsPageModel options(*p.core);
    EXPECT_EQ(options.RefreshIntervalRange(), (c.maintainer ? std::pair{30, 9999} : std::pair{0, 9999}));
    p.host.timerCalls.clear();
    EXPECT_EQ(options.CommitRefreshInterval(c.typed), c.accepted);
    EXPECT_EQ(p.s().RefreshIntv, c.stored);
    if (c.accepted) {
        EXPECT_TRUE(p.host.boxes.empty());
        if (c.stored != 0 && c.stored != 60) {
            ASSERT_FALSE(p.host.timerCalls.empty()) << "a new interval re-arms the refresh timer";
            EXPECT_EQ(p.host.timerCalls.back().second, std::chrono::minutes(c.stored));
        }
    } else {
        ASSERT_EQ(p.host.boxes.size(), 1u);
        EXPECT_EQ(p.host.boxes[0].text, kIntervalRangeText);
        EXPECT_TRUE(p.host.timerCalls.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Rule, RefreshInterval,
                         ::testing::Values(IntervalCase{true, "20", false, 60}, IntervalCase{true, "29", false, 60},
                                           IntervalCase{true, "0", false, 60}, IntervalCase{true, "", false, 60},
                                           IntervalCase{true, "30", true, 30}, IntervalCase{true, "45", true, 45},
                                           IntervalCase{true, "9999", true, 9999},
                                           IntervalCase{false, "20", true, 20}, IntervalCase{false, "0", true, 0},
                                           IntervalCase{false, "1", true, 1},
                                           IntervalCase{false, "abc", true, 0}));

TEST(OptionsPage, EditingTheIntervalMarksThePageAndTheInterval) {
    Pages p;
    OptionsPageModel options(*p.core);
    EXPECT_FALSE(p.core->IntervalEdited());
    options.RefreshIntervalEdited();
    EXPECT_TRUE(options.modified());
    EXPECT_TRUE(p.core->IntervalEdited());
}

TEST(OptionsPage, NumbersAreTakenWithoutARangeCheck) {
    Pages p;
    OptionsPageModel options(*p.core);
    const std::pair<int Settings::*, const char*> cases[] = {
        {&Settings::Timeout, "abc"}, {&Settings::InitStartupDelay, "42x"}, {&Settings::MaxLog, "999"}};
    options.CommitNumber(cases[0].first, cases[0].second);
    options.CommitNumber(cases[1].first, cases[1].second);
    options.CommitNumber(cases[2].first, cases[2].second);
    EXPECT_EQ(p.s().Timeout, 0);
    EXPECT_EQ(p.s().InitStartupDelay, 42);
    EXPECT_EQ(p.s().MaxLog, 999);
    EXPECT_TRUE(p.host.boxes.empty());
}

TEST(OptionsPage, LogControlsFollowEnableLogging) {
    Pages p;
    OptionsPageModel options(*p.core);
    EXPECT_FALSE(options.LoggingControlsEnabled());
    options.SetFlag(&Settings::IsLogging, true);
    EXPECT_TRUE(options.LoggingControlsEnabled());
    EXPECT_EQ(p.s().IsLogging, 1);
    options.SetLogFilename("  my.log ");
    EXPECT_EQ(p.s().LogFilename, "my.log");
}

// --- Proxy/Firewall ---

TEST(ProxyPage, WarningYesEnablesAndMarks) {
    Pages p;
    ProxyPageModel proxy(*p.core);
    p.host.answers = {MbAnswer::Yes};
    EXPECT_TRUE(proxy.SetUseProxy(true));
    EXPECT_EQ(FtpPageOf(p.s()).UseProxy, 1);
    EXPECT_TRUE(proxy.modified());
    ASSERT_EQ(p.host.boxes.size(), 1u);
    const MessageBoxRequest& box = p.host.boxes[0];
    EXPECT_EQ(box.caption, "Important");
    EXPECT_EQ(box.text, kProxyWarningText);
    EXPECT_EQ(box.buttons, MbButtons::YesNo);
    EXPECT_EQ(box.defaultAnswer, MbAnswer::No);
    EXPECT_EQ(box.icon, MbIcon::Warning);
}

TEST(ProxyPage, WarningNoLeavesTheBoxUncheckedAndThePageDisabled) {
    Pages p;
    ProxyPageModel proxy(*p.core);
    p.host.answers = {MbAnswer::No};
    EXPECT_FALSE(proxy.SetUseProxy(true));
    EXPECT_EQ(FtpPageOf(p.s()).UseProxy, 0);
    EXPECT_FALSE(proxy.modified());
    EXPECT_FALSE(proxy.ControlEnabled(ProxyControl::Host));
    EXPECT_FALSE(proxy.ControlEnabled(ProxyControl::Passive));
    // Switching off asks nothing.
    p.host.answers = {MbAnswer::Yes};
    proxy.SetUseProxy(true);
    const std::size_t asked = p.host.boxes.size();
    EXPECT_FALSE(proxy.SetUseProxy(false));
    EXPECT_EQ(p.host.boxes.size(), asked);
    EXPECT_EQ(FtpPageOf(p.s()).UseProxy, 0);
}

struct ProxyEnablingCase {
    int useProxy;
    int logonType;
    ProxyControl control;
    bool enabled;
};

class ProxyEnabling : public ::testing::TestWithParam<ProxyEnablingCase> {};

TEST_P(ProxyEnabling, FollowsUseProxyAndTheLogonType) {
    const ProxyEnablingCase c = GetParam();
    Pages p;
    p.core->EditSettings([&](Settings& s) {
        FtpPageOf(s).UseProxy = c.useProxy;
        FtpPageOf(s).LogonType = c.logonType;
    });
    ProxyPageModel proxy(*p.core);
    EXPECT_EQ(proxy.ControlEnabled(c.control), c.enabled);
}

using PC = ProxyControl;
INSTANTIATE_TEST_SUITE_P(
    Rules, ProxyEnabling,
    ::testing::Values(ProxyEnablingCase{0, 3, PC::Host, false}, ProxyEnablingCase{0, 3, PC::Passive, false},
                      ProxyEnablingCase{0, 3, PC::LogonTypes, false}, ProxyEnablingCase{0, 3, PC::User, false},
                      ProxyEnablingCase{1, 0, PC::Host, true}, ProxyEnablingCase{1, 0, PC::HttpPort, true},
                      ProxyEnablingCase{1, 0, PC::LogonTypes, true}, ProxyEnablingCase{1, 0, PC::Passive, true},
                      ProxyEnablingCase{1, 0, PC::User, false}, ProxyEnablingCase{1, 0, PC::Account, false},
                      ProxyEnablingCase{1, 0, PC::Password, false}, ProxyEnablingCase{1, 0, PC::FtpPort, false},
                      ProxyEnablingCase{1, 8, PC::User, true}, ProxyEnablingCase{1, 1, PC::Account, true},
                      ProxyEnablingCase{1, 4, PC::Password, true}, ProxyEnablingCase{1, 2, PC::FtpPort, true}));

TEST(ProxyPage, PortsAreTakenOnEveryChange) {
    Pages p;
    ProxyPageModel proxy(*p.core);
    proxy.SetHttpPort("8080");
    proxy.SetFtpPort("2121");
    EXPECT_EQ(FtpPageOf(p.s()).HTTPProxyPort, "8080");
    EXPECT_EQ(FtpPageOf(p.s()).FTPProxyPort, 2121);
    proxy.SetFtpPort("");
    EXPECT_EQ(FtpPageOf(p.s()).FTPProxyPort, 0) << "not a number counts as 0";
}

// --- E-Mail Options ---

TEST(EmailPage, EnablingWarnsUnlessMailingOnlyOnChange) {
    for (int onChangeOnly : {0, 1}) {
        Pages p("EmailOnIPChangeOnly=" + std::to_string(onChangeOnly) + "\n");
        EmailPageModel mail(*p.core);
        mail.SetEnableMail(true);
        EXPECT_EQ(p.s().EnableMail, 1) << "the box stays checked";
        EXPECT_TRUE(mail.modified());
        if (onChangeOnly == 1) {
            EXPECT_TRUE(p.host.boxes.empty());
        } else {
            ASSERT_EQ(p.host.boxes.size(), 1u);
            EXPECT_EQ(p.host.boxes[0].caption, "Important");
            EXPECT_EQ(p.host.boxes[0].text, kMailWarningText);
            EXPECT_EQ(p.host.boxes[0].buttons, MbButtons::Ok);
            EXPECT_EQ(p.host.boxes[0].icon, MbIcon::Warning);
        }
        // Switching off never warns.
        const std::size_t asked = p.host.boxes.size();
        mail.SetEnableMail(false);
        EXPECT_EQ(p.host.boxes.size(), asked);
    }
}

TEST(EmailPage, SecureSmtpSwitchesThePortOverAHandTypedOne) {
    Pages p;
    EmailPageModel mail(*p.core);
    ASSERT_TRUE(mail.CommitPort("2525"));
    const std::pair<bool, int> steps[] = {{true, 465}, {false, 25}, {true, 465}};
    for (const auto& [on, port] : steps) {
        mail.SetSecureSmtp(on);
        EXPECT_EQ(mail.port(), port);
        EXPECT_EQ(p.s().EnableSecureSMTP, on ? 1 : 0);
    }
    EXPECT_TRUE(mail.modified());
}

struct MailEnablingCase {
    int enableMail;
    int auth;
    bool controls;
    bool settingsButton;
};

class MailEnabling : public ::testing::TestWithParam<MailEnablingCase> {};

TEST_P(MailEnabling, SettingsNeedsMailAndAuthentication) {
    const MailEnablingCase c = GetParam();
    Pages p("EnableMail=" + std::to_string(c.enableMail) + "\nEnableSMTPAuth=" + std::to_string(c.auth) + "\n");
    EmailPageModel mail(*p.core);
    EXPECT_EQ(mail.ControlsEnabled(), c.controls);
    EXPECT_EQ(mail.SettingsButtonEnabled(), c.settingsButton);
}

INSTANTIATE_TEST_SUITE_P(Rules, MailEnabling,
                         ::testing::Values(MailEnablingCase{0, 0, false, false}, MailEnablingCase{0, 1, false, false},
                                           MailEnablingCase{1, 0, true, false}, MailEnablingCase{1, 1, true, true}));

// --- SMTP Authentication ---

TEST(SmtpAuthentication, OkStoresThePasswordScrambledAndCancelNothing) {
    Pages p;
    {
        SmtpAuthModel dialog(*p.core);
        EXPECT_EQ(dialog.account, "");
        EXPECT_EQ(dialog.password, "");
        // Cancel: nothing written.
    }
    EXPECT_EQ(p.core->ini().GetString(kPreferences, "EmailAccount", "<none>"), "<none>");
    {
        SmtpAuthModel dialog(*p.core);
        dialog.account = "mailer";
        dialog.password = "s3cret pass";
        std::string error;
        ASSERT_TRUE(dialog.Ok(error)) << error;
    }
    const std::string stored = p.core->ini().GetString(kPreferences, "EmailPassword");
    EXPECT_FALSE(stored.empty());
    EXPECT_NE(stored, "s3cret pass");
    EXPECT_EQ(p.core->ini().GetString(kPreferences, "EmailAccount"), "mailer");
    EXPECT_EQ(p.s().EmailPassword, "s3cret pass");
    EXPECT_EQ(p.s().EmailAccount, "mailer");
    SmtpAuthModel again(*p.core);
    EXPECT_EQ(again.account, "mailer");
    EXPECT_EQ(again.password, "s3cret pass") << "read back unscrambled";
}

TEST(SmtpAuthentication, PasswordsUpTo255Characters) {
    Pages p;
    SmtpAuthModel dialog(*p.core);
    dialog.account = "mailer";
    dialog.password = std::string(300, 'k');
    std::string error;
    ASSERT_TRUE(dialog.Ok(error)) << error;
    EXPECT_EQ(p.s().EmailPassword, std::string(255, 'k'));
    SmtpAuthModel again(*p.core);
    EXPECT_EQ(again.password, std::string(255, 'k'));
}

TEST(SmtpAuthentication, ALoginWithoutAccountIsRefusedAndNothingWritten) {
    Pages p;
    SmtpAuthModel dialog(*p.core);
    dialog.password = "pw";
    std::string error;
    EXPECT_FALSE(dialog.Ok(error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(p.core->ini().GetString(kPreferences, "EmailPassword", "<none>"), "<none>");
    EXPECT_EQ(p.s().EmailPassword, "");
}

// Emptying both fields takes the stored login back; an account left empty
// beside a password is still refused and changes nothing.
struct ClearCase {
    const char* account;
    const char* password;
    bool accepted;
    const char* storedAccount;  // in the file afterwards
    bool storedPasswordEmpty;
};

class SmtpLoginClearing : public ::testing::TestWithParam<ClearCase> {};

TEST_P(SmtpLoginClearing, BothFieldsEmptyRemoveTheLogin) {
    const ClearCase c = GetParam();
    Pages p;
    {
        SmtpAuthModel dialog(*p.core);
        dialog.account = "mailer";
        dialog.password = "pw";
        std::string error;
        ASSERT_TRUE(dialog.Ok(error)) << error;
    }
    SmtpAuthModel dialog(*p.core);
    dialog.account = c.account;
    dialog.password = c.password;
    std::string error;
    EXPECT_EQ(dialog.Ok(error), c.accepted) << error;
    EXPECT_EQ(error.empty(), c.accepted);
    EXPECT_EQ(p.core->ini().GetString(kPreferences, "EmailAccount", "<none>"), c.storedAccount);
    EXPECT_EQ(p.core->ini().GetString(kPreferences, "EmailPassword", "<none>").empty(), c.storedPasswordEmpty);
    EXPECT_EQ(p.s().EmailAccount, c.storedAccount);
    EXPECT_EQ(p.s().EmailPassword, c.storedPasswordEmpty ? "" : "pw");
    SmtpAuthModel again(*p.core);
    EXPECT_EQ(again.account, c.storedAccount);
    EXPECT_EQ(again.password, c.storedPasswordEmpty ? "" : "pw");
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpLoginClearing,
                         ::testing::Values(ClearCase{"", "", true, "", true}, ClearCase{"   ", "", true, "", true},
                                           ClearCase{"", "pw2", false, "mailer", false},
                                           ClearCase{" ", "x", false, "mailer", false}));

}  // namespace

namespace {

// No online notice while the WAN address is unknown, and what is said
// instead names the echo source that was tried (the built-in services when
// none is given); a known address lets the notice stand.
TEST(FirstRun, WhatTheWindowSaysInsteadOfOnline) {
    struct Case {
        const char* server;
        int enableFtp, enableMail;
        const char* wanUrl;
        const char* wan;
        const char* starts;  // empty: the online notice stands
    } cases[] = {
        {kPlaceholderFtpServer, 0, 0, "", "N/A", "Not set up yet, and no WAN address: the built-in"},
        {"", 0, 0, "http://echo/", "N/A", "Not set up yet, and no WAN address: the address-echo page"},
        {kPlaceholderFtpServer, 0, 0, "http://echo/", "", "Not set up yet, and no WAN address"},
        {kPlaceholderFtpServer, 0, 0, "http://echo/", "203.0.113.7", ""},
        {"ftp.example.org", 0, 0, "", "N/A", "No WAN address: the built-in"},
        {kPlaceholderFtpServer, 1, 0, "", "N/A", "No WAN address"},
        {kPlaceholderFtpServer, 0, 1, "", "203.0.113.7", ""},
    };
    for (const Case& c : cases) {
        Settings s;
        FtpPageOf(s).ftpPage.FTPServer = c.server;
        FtpPageOf(s).EnableFTP = c.enableFtp;
        s.EnableMail = c.enableMail;
        s.WANIPURL = c.wanUrl;
        const std::string said = UnconfiguredStatusText(s, c.wan);
        EXPECT_EQ(said.rfind(c.starts, 0), 0u) << said;
        EXPECT_EQ(said.empty(), std::string(c.starts).empty()) << c.server << " " << c.wan;
        EXPECT_EQ(NothingConfigured(s), std::string(c.server) != "ftp.example.org" && !c.enableFtp && !c.enableMail);
    }
    const std::string first = FirstRunText("/home/u/.config/zelmar/Zelmar.ini");
    EXPECT_NE(first.find("/home/u/.config/zelmar/Zelmar.ini"), std::string::npos);
    EXPECT_EQ(first.find("First give the address-echo page"), std::string::npos) << "the built-in ones are used";
}

bool HaveValidator() { return std::system("command -v desktop-file-validate >/dev/null 2>&1") == 0; }

// The written autostart entry passes desktop-file-validate whatever the
// paths hold (blanks, quotes, $, %, \), and unticking removes it.
TEST(Autostart, EntryIsValidForAwkwardPathsAndCanBeRemoved) {
    if (!HaveValidator()) GTEST_SKIP() << "desktop-file-validate is not installed (scripts/install-deps.sh)";
    ScratchDir dir;
    const std::string folder = AutostartFolder((dir / "conf").c_str(), "/home/u");
    EXPECT_EQ(folder, dir / "conf/autostart");
    EXPECT_EQ(AutostartFolder(nullptr, "/home/u"), "/home/u/.config/autostart");
    EXPECT_EQ(AutostartFolder("relative", nullptr), "");
    const std::pair<std::string, std::string> paths[] = {
        {"/usr/bin/zelmar", "/home/u/.config/zelmar"},
        {"/opt/my apps/zelmar", "/home/u/My Settings"},
        {"/opt/a\"b`c/zelmar", "/home/u/100%$HOME\\x&y;z'q~"},
    };
    for (const auto& [program, settings] : paths) {
        ASSERT_EQ(SetAutostart(folder, true, program, settings), "");
        EXPECT_TRUE(AutostartEnabled(folder));
        const std::string file = folder + "/" + kAutostartFileName;
        EXPECT_EQ(std::system(("desktop-file-validate '" + file + "' >'" + (dir / "v.txt") + "' 2>&1").c_str()), 0)
            << program << " | " << settings << "\n" << zelmar::test::ReadFile(dir / "v.txt");
        EXPECT_EQ(zelmar::test::ReadFile(dir / "v.txt"), "") << "not even a hint";
    }
    EXPECT_EQ(QuoteExecArgument("/a b/$x%\"\\"), "\"/a b/\\\\$x%%\\\\\"\\\\\\\\\"");
    EXPECT_NE(SetAutostart(folder, true, "/usr/bin/zelmar", "/a\nb"), "");
    ASSERT_EQ(SetAutostart(folder, false, "", ""), "");
    EXPECT_FALSE(AutostartEnabled(folder));
    EXPECT_EQ(SetAutostart(folder, false, "", ""), "") << "removing twice is no error";
    EXPECT_NE(SetAutostart("", true, "/usr/bin/zelmar", "/x"), "");
}

// The menu entry the project installs is valid too.
TEST(Autostart, InstalledMenuEntryIsValid) {
    if (!HaveValidator()) GTEST_SKIP() << "desktop-file-validate is not installed (scripts/install-deps.sh)";
    EXPECT_EQ(std::system("desktop-file-validate '" ZELMAR_MENU_ENTRY "'"), 0);
}

}  // namespace
