// Where secrets go and how they move, with a keyring in memory whose
// availability and failures the cases choose (the real Secret Service is in
// test_secret_service.cpp).
#include <gtest/gtest.h>

#include <map>

#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/ddns/ddns_channel.h"
#include "app/ddns/ddns_entry.h"
#include "app/notify/webhook.h"
#include "app/notify/webhook_secret.h"
#include "tests/support/peer_process.h"

using namespace zelmar;

namespace {

const std::string kKey = ScrambleKeyFor("ho");

struct MemoryKeyring : Keyring {
    std::map<std::string, std::string>* items;
    bool available = true;
    bool storeFails = false;
    explicit MemoryKeyring(std::map<std::string, std::string>* i) : items(i) {}
    static std::string Name(const SecretId& id) { return id.kind + "/" + id.server + "/" + id.account; }
    Status Probe(std::string& why) override {
        why = "no bus here";
        return available ? Status::Ok : Status::Unavailable;
    }
    Status Lookup(const SecretId& id, std::string& secret, std::string& why) override {
        if (!available) return Probe(why);
        auto it = items->find(Name(id));
        if (it == items->end()) return Status::NotFound;
        secret = it->second;
        return Status::Ok;
    }
    Status Store(const SecretId& id, const std::string& secret, std::string& why) override {
        if (!available) return Probe(why);
        if (storeFails) {
            why = "refused";
            return Status::Failed;
        }
        (*items)[Name(id)] = secret;
        return Status::Ok;
    }
    Status Remove(const SecretId& id, std::string& why) override {
        if (!available) return Probe(why);
        return items->erase(Name(id)) ? Status::Ok : Status::NotFound;
    }
};

const SecretId kFtp{"ftp", kLocalSettings, "Password", "ftp.example.org", "joe"};

std::string Scrambled(std::string s) {
    ScrambleText(s, kKey);
    return s;
}

class SecretStoreTest : public ::testing::Test {
protected:
    SecretStoreTest() : ini(dir / "Zelmar.ini") { Reopen(); }
    // A store as a new run of the program makes it.
    void Reopen() {
        auto k = std::make_unique<MemoryKeyring>(&items);
        keyring = k.get();
        store = std::make_unique<SecretStore>(ini, kKey, std::move(k));
    }
    void Choose(const char* choice) { ASSERT_TRUE(ini.WriteString(kPreferences, kSecretStoreKey, std::string(choice))); }
    std::string Value() const { return ini.GetString(kLocalSettings, "Password", "<missing>"); }
    std::string Marker() const { return ini.GetString(kLocalSettings, "PasswordStore", "<none>"); }

    test::ScratchDir dir;
    IniFile ini;
    std::map<std::string, std::string> items;
    MemoryKeyring* keyring = nullptr;
    std::unique_ptr<SecretStore> store;
};

struct WriteCase {
    const char* name;
    const char* choice;
    bool available;
    bool storeFails;
    SecretStore::Where where;
    bool notice;
};

class SecretStoreWrite : public SecretStoreTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SecretStoreWrite, GoesWhereTheChoiceAndTheKeyringAllow) {
    const WriteCase& c = GetParam();
    Choose(c.choice);
    keyring->available = c.available;
    keyring->storeFails = c.storeFails;
    const SecretStore::WriteResult r = store->Write(kFtp, "s3cret pw");
    ASSERT_TRUE(r.ok) << r.problem;
    EXPECT_EQ(r.where, c.where);
    EXPECT_EQ(!r.notice.empty(), c.notice) << r.notice;
    const std::string file = test::ReadFile(ini.path());
    EXPECT_EQ(file.find("s3cret pw"), std::string::npos) << "never in clear";
    if (c.where == SecretStore::Where::Keyring) {
        EXPECT_EQ(items["ftp/ftp.example.org/joe"], "s3cret pw");
        EXPECT_EQ(Value(), "");
        EXPECT_EQ(Marker(), "keyring");
    } else {
        EXPECT_TRUE(items.empty());
        EXPECT_EQ(Value(), Scrambled("s3cret pw"));
        EXPECT_EQ(Marker(), "<none>");
    }
    keyring->storeFails = false;
    Reopen();
    keyring->available = c.available;
    std::string back, problem;
    EXPECT_TRUE(store->Read(kFtp, back, problem)) << problem;
    EXPECT_EQ(back, "s3cret pw");
}

INSTANTIATE_TEST_SUITE_P(
    Choices, SecretStoreWrite,
    ::testing::Values(WriteCase{"autoWithKeyring", "auto", true, false, SecretStore::Where::Keyring, false},
                      WriteCase{"unknownWordIsAuto", "wallet", true, false, SecretStore::Where::Keyring, false},
                      WriteCase{"autoWithoutKeyring", "auto", false, false, SecretStore::Where::Ini, false},
                      WriteCase{"keyringWithKeyring", "KEYRING", true, false, SecretStore::Where::Keyring, false},
                      WriteCase{"keyringWithoutKeyring", "keyring", false, false, SecretStore::Where::Ini, true},
                      WriteCase{"iniWithKeyring", "ini", true, false, SecretStore::Where::Ini, false},
                      WriteCase{"keyringRefusesTheWrite", "auto", true, true, SecretStore::Where::Ini, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SecretStoreTest, AChangedChoiceMovesTheSecretAtItsNextWriteBothWays) {
    ASSERT_TRUE(store->Write(kFtp, "pw1").ok);
    ASSERT_EQ(items.size(), 1u);

    Choose("ini");
    Reopen();
    std::string pw, problem;
    ASSERT_TRUE(store->Read(kFtp, pw, problem));
    ASSERT_EQ(store->Write(kFtp, pw).where, SecretStore::Where::Ini);
    EXPECT_TRUE(items.empty()) << "removed from the keyring once the file holds it";
    EXPECT_EQ(Value(), Scrambled("pw1"));

    Choose("auto");
    Reopen();
    ASSERT_TRUE(store->Read(kFtp, pw, problem));
    ASSERT_EQ(store->Write(kFtp, pw).where, SecretStore::Where::Keyring);
    EXPECT_EQ(items["ftp/ftp.example.org/joe"], "pw1");
    EXPECT_EQ(Value(), "");
    // Written again unchanged: nothing to do, also while the keyring is
    // out of reach; a new value then goes to the file, and says so.
    EXPECT_EQ(store->Write(kFtp, pw).where, SecretStore::Where::Unchanged);
    keyring->available = false;
    EXPECT_EQ(store->Write(kFtp, pw).where, SecretStore::Where::Unchanged);
    const SecretStore::WriteResult r = store->Write(kFtp, "pw2");
    EXPECT_EQ(r.where, SecretStore::Where::Ini);
    EXPECT_NE(r.notice.find("no bus here"), std::string::npos) << r.notice;
    EXPECT_EQ(Value(), Scrambled("pw2"));
}

TEST_F(SecretStoreTest, ASecretTheKeyringCannotGiveIsNeitherLostNorBlankedByAWrite) {
    ASSERT_TRUE(store->Write(kFtp, "pw1").ok);
    Reopen();
    keyring->available = false;
    std::string pw, problem;
    EXPECT_FALSE(store->Read(kFtp, pw, problem));
    EXPECT_EQ(pw, "");
    EXPECT_NE(problem.find("no bus here"), std::string::npos) << problem;
    // The save writes back the empty value it read: the secret stays.
    EXPECT_EQ(store->Write(kFtp, "").where, SecretStore::Where::Unchanged);
    EXPECT_EQ(Marker(), "keyring");
    EXPECT_EQ(items["ftp/ftp.example.org/joe"], "pw1");
    // A new value typed meanwhile is kept in the file.
    ASSERT_TRUE(store->Write(kFtp, "pw2").ok);
    EXPECT_EQ(Value(), Scrambled("pw2"));
    EXPECT_EQ(Marker(), "<none>");
}

TEST_F(SecretStoreTest, AnEditedServerMovesTheItemAndAnEmptySecretRemovesIt) {
    ASSERT_TRUE(store->Write(kFtp, "pw1").ok);
    Reopen();
    std::string pw, problem;
    ASSERT_TRUE(store->Read(kFtp, pw, problem));
    SecretId moved = kFtp;
    moved.server = "ftp.example.net";
    // Read under the new name before the save: still found under the old one.
    ASSERT_TRUE(store->Read(moved, pw, problem));
    EXPECT_EQ(pw, "pw1");
    ASSERT_TRUE(store->Write(moved, pw).ok);
    EXPECT_EQ(items.count("ftp/ftp.example.org/joe"), 0u);
    EXPECT_EQ(items["ftp/ftp.example.net/joe"], "pw1");
    ASSERT_TRUE(store->Write(moved, "").ok);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(Value(), "");
    EXPECT_EQ(Marker(), "<none>");
}

TEST_F(SecretStoreTest, TheStartupLineComesOnceAndOnlyWhenTheKeyringCannotBeUsed) {
    EXPECT_EQ(store->StartupNotice(true), "");
    Choose("ini");
    keyring->available = false;
    EXPECT_EQ(store->StartupNotice(true), "");
    Choose("auto");
    EXPECT_EQ(store->StartupNotice(false), "") << "no password in the file, nothing to say";
    EXPECT_NE(store->StartupNotice(true).find("no bus here"), std::string::npos);
    EXPECT_EQ(store->StartupNotice(true), "");
}

// The dynamic-DNS and webhook secrets, set by their --set-... commands and
// read by their channels, follow the same rules, and a save moves them.
struct EntryCase {
    const char* section;
    const char* serverKey;
    const char* server;
    const char* login;
    const char* item;  // the keyring item: kind/server/account
    bool (*set)(SecretStore&, const std::string&, std::string&, std::string&);
    std::string (*read)(SecretStore&);
    std::string (*readFromFile)(const IniFile&);
};

class EntrySecret : public SecretStoreTest, public ::testing::WithParamInterface<EntryCase> {
protected:
    std::string Stored() const { return ini.GetString(GetParam().section, "Secret", "<missing>"); }
    void Save() {
        std::vector<std::string> notices;
        WriteSettingSecrets(*store, Settings{}, notices);
        EXPECT_TRUE(notices.empty()) << notices.front();
    }
};

TEST_P(EntrySecret, IsSetReadAndMovedThroughTheStore) {
    const EntryCase& c = GetParam();
    ASSERT_TRUE(ini.WriteString(c.section, c.serverKey, std::string(c.server)));
    ASSERT_TRUE(ini.WriteString(c.section, "Login", std::string(c.login)));
    std::string error, notice;
    ASSERT_TRUE(c.set(*store, "tok 1", error, notice)) << error;
    EXPECT_EQ(items[c.item], "tok 1");
    EXPECT_EQ(Stored(), "");
    Reopen();
    EXPECT_EQ(c.read(*store), "tok 1");

    Choose("ini");
    Reopen();
    Save();
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(Stored(), Scrambled("tok 1"));
    EXPECT_EQ(c.readFromFile(ini), "tok 1") << "the channels find it in the file";

    Choose("auto");
    Reopen();
    Save();
    EXPECT_EQ(items[c.item], "tok 1");
    // No keyring: a new secret goes to the file, the old item with it.
    Reopen();
    keyring->available = false;
    ASSERT_TRUE(c.set(*store, "tok 2", error, notice)) << error;
    EXPECT_EQ(Stored(), Scrambled("tok 2"));
    EXPECT_EQ(c.read(*store), "tok 2");
    EXPECT_EQ(test::ReadFile(ini.path()).find("tok"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, EntrySecret,
    ::testing::Values(
        EntryCase{"DDNS home", "Server", "https://u@dyn.example.com:8443/nic", "joe", "ddns/dyn.example.com/joe",
                  [](SecretStore& s, const std::string& v, std::string& e, std::string& n) {
                      return WriteDdnsSecret(s, "home", v, e, n);
                  },
                  [](SecretStore& s) { return ReadDdnsSecret(s, "home"); },
                  [](const IniFile& i) { return ReadDdnsSecret(i, "home", kKey); }},
        EntryCase{"Webhook ntfy", "URL", "https://ntfy.example.net/topic?x=1", "", "webhook/ntfy.example.net/ntfy",
                  [](SecretStore& s, const std::string& v, std::string& e, std::string& n) {
                      return StoreWebhookSecret(s, "ntfy", v, e, n);
                  },
                  [](SecretStore& s) { return ReadWebhookSecret(s, "ntfy"); },
                  [](const IniFile& i) { return ReadWebhookSecret(i, "ntfy", kKey); }}),
    [](const auto& info) { return std::string(info.index == 0 ? "ddns" : "webhook"); });

TEST(SecretStoreFile, ValuesTheFileWouldAlterAreRefused) {
    EXPECT_TRUE(SecretStore::FitsSettingsFile(std::string(kMaxSecretChars, 'x'), kKey));
    EXPECT_FALSE(SecretStore::FitsSettingsFile(std::string(kMaxSecretChars + 1, 'x'), kKey));
    EXPECT_FALSE(SecretStore::FitsSettingsFile("a\nb", kKey));
    EXPECT_FALSE(SecretStore::FitsSettingsFile(std::string("a\0b", 3), kKey));
}

// The fingerprint a stopped channel's record keeps must not give away a
// short secret: it is keyed with a random key of each settings folder, so
// the same settings and secret give another digest in another folder.
struct FingerprintCase {
    const char* name;
    const char* settings;
    std::vector<std::unique_ptr<DeliveryChannel>> (*make)(const ChannelContext&);
} const kFingerprintCases[] = {
    {"ddns", "[DDNS home]\nProtocol=duckdns\nHost=home\n", MakeDdnsChannels},
    {"webhook", "[Webhook w]\nURL=https://hooks.example.org/x?t=%{secret}\n",
     [](const ChannelContext& c) { return MakeWebhookChannels(c); }},
};

class SecretFingerprintTest : public ::testing::TestWithParam<FingerprintCase> {};

TEST_P(SecretFingerprintTest, IsKeyedPerFolder) {
    std::vector<std::string> prints;
    for (int folder = 0; folder < 2; ++folder) {
        test::ScratchDir dir;
        test::WriteFile(dir / "Zelmar.ini", std::string(GetParam().settings) + "Secret=" + Scrambled("4711") + "\n");
        IniFile ini(dir / "Zelmar.ini");
        const Settings s;
        const ChannelContext context{s, ini, dir.path(), kKey};
        prints.push_back(GetParam().make(context).at(0)->SettingsFingerprint());
        EXPECT_EQ(GetParam().make(context).at(0)->SettingsFingerprint(), prints.back()) << "stable in its folder";
        EXPECT_EQ(ini.GetString("Fingerprints", "Key").size(), 64u);
    }
    EXPECT_NE(prints[0], prints[1]);
}

INSTANTIATE_TEST_SUITE_P(Channels, SecretFingerprintTest, ::testing::ValuesIn(kFingerprintCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
