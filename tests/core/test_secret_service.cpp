// The passwords in a real GNOME Keyring on a private session bus
// (dbus-run-session), checked with secret-tool; and the same program with a
// locked keyring and with no bus at all.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <sys/stat.h>
#include <sys/wait.h>

#include "app/core/secret_store.h"
#include "app/ddns/ddns_channel.h"
#include "app/notify/webhook.h"
#include "app/notify/webhook_secret.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/ddns/ddns_test_support.h"
#include "tests/support/core_fixture.h"
#include "tests/support/shell_output.h"

using namespace zelmar;
using namespace std::chrono_literals;

namespace {

constexpr const char* kNoBus = "unix:path=/nonexistent/zelmar-test-bus";

// A session bus of its own with gnome-keyring-daemon on it, unlocked with a
// test password from standard input (or started locked). Its keyrings live
// in home, which outlives one bus so that a second can find them locked.
class KeyringSession {
public:
    KeyringSession(const test::ScratchDir& home, bool unlocked, const std::string& service = "") : home_(home) {
        StartKeyringRun();
        ::mkdir((home / "run").c_str(), 0700);
        for (const char* f : {"addr", "pid"}) std::remove((home / f).c_str());
        const std::string daemon = !service.empty() ? service
                                   : unlocked ? "printf %s \"$KEYRING_PW\" | gnome-keyring-daemon --unlock --components=secrets"
                                              : "gnome-keyring-daemon --start --components=secrets";
        const std::string script = "cd \"$HOME\" && { " + daemon + "; }" +
                                   " >/dev/null && echo $$ >pid && echo \"$DBUS_SESSION_BUS_ADDRESS\" >addr.new && "
                                   "mv addr.new addr && exec sleep 120";
        session_ = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"dbus-run-session", "--", "sh", "-c", script}, home / "session.log",
            std::map<std::string, std::string>{{"HOME", home.path()},
                                               {"XDG_DATA_HOME", home / "data"},
                                               {"XDG_RUNTIME_DIR", home / "run"},
                                               {"KEYRING_PW", "test password"}});
        for (int i = 0; i < 200 && address_.empty(); ++i) {
            std::this_thread::sleep_for(50ms);
            address_ = test::ReadFile(home / "addr");
            while (!address_.empty() && address_.back() == '\n') address_.pop_back();
        }
        if (!address_.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
    ~KeyringSession() {
        // The end of the shell ends the bus, and the daemon with it.
        const pid_t inner = static_cast<pid_t>(std::atol(test::ReadFile(home_ / "pid").c_str()));
        if (inner > 0) ::kill(inner, SIGTERM);
        session_->Wait(5s);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus, 1);
    }
    bool up() const { return !address_.empty(); }

private:
    const test::ScratchDir& home_;
    std::unique_ptr<test::ChildProcess> session_;
    std::string address_;
};

// Output of a shell command (secret-tool) on the test's bus.
std::string Sh(const std::string& command) { return zelmar::test::ShellOutput(command); }

std::string Lookup(const std::string& kind, const std::string& server, const std::string& account) {
    return Sh("secret-tool lookup program zelmar kind " + kind + " server '" + server + "' account '" + account +
              "' 2>/dev/null");
}

const SecretId kFtpLogin{"ftp", "LocalSettings", "Password", "ftp.example.org", "joe"};

class SecretService : public test::CoreTest {
protected:
    test::ScratchDir home;
};

TEST_F(SecretService, ItemsAreStoredFoundAndRemovedAsSecretToolSeesThem) {
    KeyringSession bus(home, true);
    ASSERT_TRUE(bus.up()) << test::ReadFile(home / "session.log");
    auto keyring = MakeSecretServiceKeyring();
    std::string why, secret;
    ASSERT_EQ(keyring->Probe(why), Keyring::Status::Ok) << why;
    ASSERT_EQ(keyring->Store(kFtpLogin, "pässword 1", why), Keyring::Status::Ok) << why;
    EXPECT_EQ(Lookup("ftp", "ftp.example.org", "joe"), "pässword 1");
    // Stored again: replaced, not doubled.
    ASSERT_EQ(keyring->Store(kFtpLogin, "pw 2", why), Keyring::Status::Ok) << why;
    EXPECT_EQ(Sh("secret-tool search --all program zelmar 2>&1 | grep -c '^secret = '"), "1\n");

    Sh("printf 'by hand' | secret-tool store --label=x program zelmar kind smtp server mail.example.org account ann");
    EXPECT_EQ(keyring->Lookup({"smtp", "Preferences", "EmailPassword", "mail.example.org", "ann"}, secret, why),
              Keyring::Status::Ok) << why;
    EXPECT_EQ(secret, "by hand");
    EXPECT_EQ(keyring->Lookup({"smtp", "Preferences", "EmailPassword", "mail.example.org", "bob"}, secret, why),
              Keyring::Status::NotFound);

    EXPECT_EQ(keyring->Remove(kFtpLogin, why), Keyring::Status::Ok) << why;
    EXPECT_EQ(Lookup("ftp", "ftp.example.org", "joe"), "");
    EXPECT_EQ(keyring->Remove(kFtpLogin, why), Keyring::Status::NotFound);
}

TEST_F(SecretService, ASaveMovesThePasswordsOutOfTheFileAndTheChoiceIniBringsThemBack) {
    KeyringSession bus(home, true);
    ASSERT_TRUE(bus.up());
    std::string ftp = "ftp pw", proxy = "proxy pw", smtp = "smtp pw";
    for (std::string* s : {&ftp, &proxy, &smtp}) ScrambleText(*s, "k");
    const std::string ini = "[LocalSettings]\nFTPServer=ftp.example.org\nUserID=joe\nPassword=" + ftp +
                            "\n[Preferences]\nProxyAddress=fw.example.org\nProxyUser=fw\nProxyPass=" + proxy +
                            "\nUseProxy=1\nEmailServer=mail.example.org\nEmailAccount=ann\nEmailPassword=" + smtp + "\n";
    MakeCore(ini).LoadOrCreateSettings();
    core->SaveSettings();
    std::string file = test::ReadFile(dir / "Zelmar.ini");
    for (const std::string& s : {ftp, proxy, smtp}) EXPECT_EQ(file.find(s), std::string::npos) << file;
    EXPECT_NE(file.find("PasswordStore=keyring"), std::string::npos) << file;
    EXPECT_EQ(Lookup("ftp", "ftp.example.org", "joe"), "ftp pw");
    EXPECT_EQ(Lookup("proxy", "fw.example.org", "fw"), "proxy pw");
    EXPECT_EQ(Lookup("smtp", "mail.example.org", "ann"), "smtp pw");

    // The next start finds them there.
    MakeCore().LoadOrCreateSettings();
    EXPECT_EQ(FtpPageOf(core->settings()).ftpPage.Password, "ftp pw");
    EXPECT_EQ(FtpPageOf(core->settings()).ProxyPass, "proxy pw");
    EXPECT_EQ(core->settings().EmailPassword, "smtp pw");

    ASSERT_TRUE(core->ini().WriteString("Preferences", "SecretStore", std::string("ini")));
    core->SaveSettings();
    file = test::ReadFile(dir / "Zelmar.ini");
    for (const std::string& s : {ftp, proxy, smtp}) EXPECT_NE(file.find(s), std::string::npos) << file;
    EXPECT_EQ(file.find("Store=keyring"), std::string::npos) << file;
    EXPECT_EQ(Sh("secret-tool search --all program zelmar 2>&1"), "");
}

TEST_F(SecretService, ALockedKeyringIsNoSecretServiceAndTheFileKeepsItsMarker) {
    {
        KeyringSession bus(home, true);
        ASSERT_TRUE(bus.up());
        // Stored by another process: this one meets only the second bus.
        Sh("printf pw | secret-tool store --label=x program zelmar kind ftp server ftp.example.org account joe");
        ASSERT_EQ(Lookup("ftp", "ftp.example.org", "joe"), "pw");
    }
    KeyringSession locked(home, false);
    ASSERT_TRUE(locked.up()) << test::ReadFile(home / "session.log");
    auto keyring = MakeSecretServiceKeyring();
    std::string why, secret;
    EXPECT_EQ(keyring->Probe(why), Keyring::Status::Unavailable);
    EXPECT_NE(why.find("locked"), std::string::npos) << why;
    EXPECT_EQ(keyring->Lookup(kFtpLogin, secret, why), Keyring::Status::Unavailable) << why;

    const std::string ini =
        "[LocalSettings]\nFTPServer=ftp.example.org\nUserID=joe\nPassword=\nPasswordStore=keyring\n";
    MakeCore(ini).LoadOrCreateSettings();
    EXPECT_EQ(FtpPageOf(core->settings()).ftpPage.Password, "");
    bool said = false;
    for (const std::string& line : host.lines) said = said || line.find("keyring is locked") != std::string::npos;
    EXPECT_TRUE(said);
    core->SaveSettings();
    EXPECT_NE(test::ReadFile(dir / "Zelmar.ini").find("PasswordStore=keyring"), std::string::npos);
}

// A Secret Service that takes every call and never answers.
constexpr const char* kStalledService = R"(/usr/bin/python3 -c '
import sys
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
def drop(connection, message, incoming):
    if incoming and message.get_message_type() == Gio.DBusMessageType.METHOD_CALL:
        return None
    return message
bus.add_filter(drop)
loop = GLib.MainLoop()
Gio.bus_own_name_on_connection(bus, "org.freedesktop.secrets", Gio.BusNameOwnerFlags.NONE,
                               lambda *a: (print("owned", flush=True), open("owned", "w").close()), None)
GLib.timeout_add_seconds(110, loop.quit)
loop.run()
' & for i in $(seq 200); do [ -e owned ] && break; sleep 0.05; done)";

TEST_F(SecretService, AServiceThatNeverAnswersCostsTheTimeOutAndCountsAsNone) {
    KeyringSession bus(home, true, kStalledService);
    ASSERT_TRUE(bus.up()) << test::ReadFile(home / "session.log");
    auto keyring = MakeSecretServiceKeyring(300ms);
    std::string why, secret;
    EXPECT_EQ(keyring->Probe(why), Keyring::Status::Unavailable);
    EXPECT_NE(why.find("did not answer within 0.3"), std::string::npos) << why;
    // The store falls back to the file, and the save is not held up.
    IniFile ini(dir / "Zelmar.ini");
    SecretStore store(ini, "k", std::move(keyring));
    const SecretStore::WriteResult r = store.Write(kFtpLogin, "pw");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.where, SecretStore::Where::Ini);
}

TEST_F(SecretService, ARunThatMetAServiceThatNeverAnswersAsksItNoMore) {
    KeyringSession bus(home, true, kStalledService);
    ASSERT_TRUE(bus.up()) << test::ReadFile(home / "session.log");
    StartKeyringRun(400ms);
    std::string why, secret;
    EXPECT_EQ(MakeSecretServiceKeyring()->Probe(why), Keyring::Status::Unavailable);
    EXPECT_NE(why.find("did not answer within 0.40 s in all"), std::string::npos) << why;
    // Every later call of the run, by any keyring, answers at once.
    EXPECT_EQ(MakeSecretServiceKeyring()->Lookup(kFtpLogin, secret, why), Keyring::Status::Unavailable);
    EXPECT_NE(why.find("not asked again"), std::string::npos) << why;
}

// Stored in a keyring that is locked now: the channel fails for this
// refresh, says why in one line, and is neither sent without its secret nor
// stopped as if none were stored.
using ChannelMaker = std::vector<std::unique_ptr<DeliveryChannel>> (*)(const ChannelContext&);
class LockedKeyring : public SecretService, public ::testing::WithParamInterface<ChannelMaker> {};

TEST_P(LockedKeyring, HoldsTheChannelBackForThisRefreshAndTheStartupLineSaysWhere) {
    {
        KeyringSession bus(home, true);
        ASSERT_TRUE(bus.up());
        for (const char* item : {"webhook server 127.0.0.1 account w", "ddns server 127.0.0.1 account joe"})
            Sh(std::string("printf tok | secret-tool store --label=x program zelmar kind ") + item);
    }
    KeyringSession locked(home, false);
    ASSERT_TRUE(locked.up());
    std::string proxy = "proxy pw";
    ScrambleText(proxy, "k");
    MakeCore("[LocalSettings]\nFTPServer=ftp.example.org\n[Preferences]\nProxyPass=" + proxy +
             "\n[Webhook w]\nURL=http://127.0.0.1:9/x?t=%{secret}\nSecret=\nSecretStore=keyring\n"
             "[DDNS home]\nProtocol=dyndns2\nHost=h.example.org\nServer=https://127.0.0.1:9\nLogin=joe\n"
             "Secret=\nSecretStore=keyring\n")
        .LoadOrCreateSettings();
    EXPECT_NE(host.lines.back().find("Some passwords are in the desktop keyring, which cannot be used now"),
              std::string::npos) << host.lines.back();

    const Settings s = core->settings();
    test::LineReporter reporter;
    const DeliveryResult r =
        GetParam()({s, core->ini(), dir.path(), "k"}).at(0)->Deliver(test::SnapshotWith("192.0.2.7"), reporter);
    EXPECT_EQ(r.outcome, DeliveryOutcome::Failed);
    EXPECT_EQ(r.code, "keyring");
    ASSERT_EQ(reporter.lines.size(), 1u);
    EXPECT_NE(reporter.lines[0].find("the keyring is locked; it is retried at the next refresh"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Channels, LockedKeyring,
                         ::testing::Values(ChannelMaker([](const ChannelContext& c) { return MakeWebhookChannels(c); }),
                                           ChannelMaker(MakeDdnsChannels)),
                         [](const auto& info) { return std::string(info.index == 0 ? "webhook" : "ddns"); });

TEST_F(SecretService, TwoFoldersKeepTheirOwnItemsAndAnOldSharedItemIsCopiedNotMoved) {
    KeyringSession bus(home, true);
    ASSERT_TRUE(bus.up());
    // An item from before folders, which both folders point at.
    Sh("printf tok | secret-tool store --label=x program zelmar kind webhook server hooks.example.org account w");
    test::ScratchDir other;
    const std::string settings = "[Webhook w]\nURL=https://hooks.example.org/x\nSecret=\nSecretStore=keyring\n";
    test::WriteFile(dir / "Zelmar.ini", settings);
    test::WriteFile(other / "Zelmar.ini", settings);
    IniFile a(dir / "Zelmar.ini"), b(other / "Zelmar.ini");
    EXPECT_EQ(ReadWebhookSecret(a, "w", "k"), "tok");
    EXPECT_EQ(ReadWebhookSecret(b, "w", "k"), "tok");
    // A new secret in one folder, then that folder's move to the file,
    // leave the other's as it was.
    std::string error;
    ASSERT_TRUE(StoreWebhookSecret(a, "w", "tok a", "k", error)) << error;
    EXPECT_EQ(ReadWebhookSecret(a, "w", "k"), "tok a");
    EXPECT_EQ(ReadWebhookSecret(b, "w", "k"), "tok");
    ASSERT_TRUE(a.WriteString("Preferences", "SecretStore", std::string("ini")));
    ASSERT_TRUE(StoreWebhookSecret(a, "w", "tok a2", "k", error)) << error;
    EXPECT_EQ(ReadWebhookSecret(a, "w", "k"), "tok a2");
    EXPECT_EQ(ReadWebhookSecret(b, "w", "k"), "tok");
    EXPECT_EQ(Sh("secret-tool search --all program zelmar 2>&1 | grep -c '^secret = '"), "2\n");  // old and b's
}

TEST_F(SecretService, APasswordWhoseItemWasDeletedByHandIsClearedAndItsMarkerGoes) {
    KeyringSession bus(home, true);
    ASSERT_TRUE(bus.up());
    IniFile ini(dir / "Zelmar.ini");
    SecretStore store(ini, "k", MakeSecretServiceKeyring());
    ASSERT_EQ(store.Write(kFtpLogin, "pw").where, SecretStore::Where::Keyring);
    Sh("secret-tool clear program zelmar kind ftp");
    EXPECT_TRUE(store.Write(kFtpLogin, "").ok);
    EXPECT_EQ(ini.GetString("LocalSettings", "PasswordStore", "<none>"), "<none>");
}

struct LoginCase {
    const char* name;
    bool bus;
};

class SetSmtpLogin : public SecretService, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(SetSmtpLogin, StoresThePasswordWhereTheSessionAllows) {
    std::unique_ptr<KeyringSession> bus;
    if (GetParam().bus) {
        bus = std::make_unique<KeyringSession>(home, true);
        ASSERT_TRUE(bus->up());
    } else {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus, 1);
    }
    test::WriteFile(dir / "Zelmar.ini", "[Preferences]\nEmailServer=mail.example.org\n");
    const std::string cmd = "cd '" + dir.path() + "' && printf 'pw 7\\n' | '" ZELMAR_BINARY
                            "' --set-smtp-login ann >out.txt 2>&1; echo $?";
    EXPECT_EQ(Sh(cmd), "0\n") << test::ReadFile(dir / "out.txt");
    const std::string file = test::ReadFile(dir / "Zelmar.ini");
    EXPECT_EQ(file.find("pw 7"), std::string::npos);
    if (GetParam().bus) {
        EXPECT_EQ(Lookup("smtp", "mail.example.org", "ann"), "pw 7");
        EXPECT_NE(file.find("EmailPasswordStore=keyring"), std::string::npos) << file;
    } else {
        std::string scrambled = "pw 7";
        ScrambleText(scrambled, ScrambleKey());
        EXPECT_NE(file.find("EmailPassword=" + scrambled + "\n"), std::string::npos) << file;
        EXPECT_EQ(file.find("Store="), std::string::npos) << file;
    }
}

TEST_F(SecretService, SetDdnsSecretStoresTheSecretInTheKeyring) {
    KeyringSession bus(home, true);
    ASSERT_TRUE(bus.up()) << test::ReadFile(home / "session.log");
    test::WriteFile(dir / "Zelmar.ini", "[DDNS home]\nServer=https://dyn.example.com/nic\nLogin=joe\nSecret=\n");
    const std::string cmd = "cd '" + dir.path() + "' && printf 'tok 9\\n' | '" ZELMAR_BINARY
                            "' --set-ddns-secret home >out.txt 2>&1; echo $?";
    EXPECT_EQ(Sh(cmd), "0\n") << test::ReadFile(dir / "out.txt");
    EXPECT_EQ(Lookup("ddns", "dyn.example.com", "joe"), "tok 9");
    const std::string file = test::ReadFile(dir / "Zelmar.ini");
    EXPECT_NE(file.find("SecretStore=keyring"), std::string::npos) << file;
    EXPECT_EQ(file.find("tok 9"), std::string::npos) << file;
}

INSTANTIATE_TEST_SUITE_P(Sessions, SetSmtpLogin,
                         ::testing::Values(LoginCase{"keyring", true}, LoginCase{"noBus", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
