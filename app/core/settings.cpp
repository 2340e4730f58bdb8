#include "app/core/settings.h"

#include <algorithm>
#include <filesystem>
#include <type_traits>
#include <unistd.h>

#include "app/core/messages.h"
#include "app/core/text.h"
#include "net/default_timeout.h"

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

std::string CutRecipientList(const std::string& list, std::size_t limit, int& leftOut) {
    leftOut = 0;
    if (list.size() <= limit) return list;
    // A ";" right after the limit still ends a whole list of limit characters.
    const std::size_t cut = list.rfind(';', limit);
    const std::string kept = cut == std::string::npos ? std::string() : list.substr(0, cut);
    const std::string rest = cut == std::string::npos ? list : list.substr(cut + 1);
    std::size_t from = 0;
    while (from <= rest.size()) {
        std::size_t semi = rest.find(';', from);
        if (semi == std::string::npos) semi = rest.size();
        if (!TrimBlanks(rest.substr(from, semi - from)).empty()) ++leftOut;
        from = semi + 1;
    }
    return kept;
}

int ClampRefreshInterval(long minutes, int maintainerServiceFlag) {
    if (maintainerServiceFlag == 1 && minutes < 30) return 30;
    if (minutes > 9999) return 9999;
    // A negative interval would arm a timer of some weeks: none is asked for.
    if (minutes < 0) return 0;
    return static_cast<int>(minutes);
}

namespace {

using F = SettingForm;

#define TEXT(member) [](Settings& s) -> SettingField { return &s.member; }
#define NUMBER(member) [](Settings& s) -> SettingField { return &s.member; }

// A stored recipient list is read whole up to this length, so that the cut
// to kMaxEmailToChars can count what it leaves out.
constexpr std::size_t kLongestStoredList = 1 << 20;

// The core's rows; the order of the rows is the order of the load. The
// orders' numbers missing here are those of the parts' rows.
std::vector<SettingKey> CoreSettingKeys() {
    return {
    // section        key                  form         load default   first run          #   save  repair
    {kLocalSettings, "SaveFileASCII",      F::Text,      "Zelmar.txt", "Zelmar.txt",         10, 0, true, TEXT(SaveFileASCII)},
    {kLocalSettings, "SaveFileHTML",       F::Text,      "Zelmar.html","Zelmar.html",         9, 0, true, TEXT(SaveFileHTML)},
    {kLocalSettings, "WANIPURL",           F::Text,      "",           nullptr,               0, 44, false, TEXT(WANIPURL)},
    {kLocalSettings, "StatusIndicators",   F::Text,      "TRUE/FALSE", nullptr,               0, 0, false, TEXT(StatusIndicators)},
    {kLocalSettings, "WANIPURL6",          F::Text,      "",           nullptr,               0, 45, false, TEXT(WANIPURL6)},
    {kLocalSettings, "WANCheckURLs",       F::LongText,  "",           nullptr,               0, 46, false, TEXT(WANCheckURLs)},
    // Edited in the file only: an interface name is machine-specific.
    {kLocalSettings, "LanInterface",       F::Text,      "",           nullptr,               0, 0, false, TEXT(LanInterface)},
    {kLocalSettings, "WANSource",          F::Text,      "",           nullptr,               0, 50, false, TEXT(WANSource)},
    {kLocalSettings, "WANSource6",         F::Text,      "",           nullptr,               0, 51, false, TEXT(WANSource6)},
    {kPreferences,   "IsLogging",          F::Number,    "0",          "0",                  12, 11, false, NUMBER(IsLogging)},
    {kPreferences,   "LogFilename",        F::Text,      "",           "Zelmar.log",         13, 12, false, TEXT(LogFilename)},
    {kPreferences,   "IsMinOnStartup",     F::Number,    "0",          "0",                  14, 13, false, NUMBER(IsMinOnStartup)},
    {kPreferences,   "IsUpdateOnStart",    F::Number,    "0",          "1",                  15, 14, false, NUMBER(IsUpdateOnStart)},
    {kPreferences,   "IsUpdateOnShut",     F::Number,    "0",          "0",                  16, 15, false, NUMBER(IsUpdateOnShut)},
    // Missing reads as on, but a first run writes off: both on purpose.
    {kPreferences,   "NotifyErrorOnShut",  F::Number,    "1",          "0",                  17, 16, false, NUMBER(NotifyErrorOnShut)},
    {kPreferences,   "SuppressError",      F::Number,    "0",          "0",                  18, 19, false, NUMBER(SuppressError)},
    {kPreferences,   "UpdateOnNAIP",       F::Number,    "1",          nullptr,               0, 20, false, NUMBER(UpdateOnNAIP)},
    {kPreferences,   "RefreshIntv",        F::Number,    "0",          "0",                  19, 30, false, NUMBER(RefreshIntv), 0, 9999},
    {kPreferences,   "InitStartupDelay",   F::Number,    "0",          nullptr,               0, 31, false, NUMBER(InitStartupDelay), 0, 86400},
    {kPreferences,   "Timeout",            F::Number,    "15",         "15",                 20, 17, false, NUMBER(Timeout), 1, 3600},
    {kPreferences,   "MaxLog",             F::Number,    "0",          "0",                  21, 18, false, NUMBER(MaxLog), 0, 36500},
    {kPreferences,   "StartDelimiter",     F::Text,      "",           nullptr,               0, 47, false, TEXT(StartDelimiter)},
    {kPreferences,   "EndDelimiter",       F::Text,      "",           nullptr,               0, 48, false, TEXT(EndDelimiter)},
    {kPreferences,   "EmailInput",         F::Text,      "",           nullptr,               0, 32, false, TEXT(EmailInput)},
    {kPreferences,   "EmailServer",        F::Text,      "",           nullptr,               0, 33, false, TEXT(EmailServer)},
    {kPreferences,   "EmailServerPort",    F::Number,    "25",         nullptr,               0, 34, false, NUMBER(EmailServerPort)},
    {kPreferences,   "EmailTo",            F::LongText,     "",           nullptr,               0, 35, false, TEXT(EmailTo)},
    {kPreferences,   "EmailFrom",          F::Text,      "",           nullptr,               0, 36, false, TEXT(EmailFrom)},
    {kPreferences,   "EmailSubject",       F::Text,      "",           nullptr,               0, 37, false, TEXT(EmailSubject)},
    {kPreferences,   "EnableMail",         F::Number,    "0",          nullptr,               0, 38, false, NUMBER(EnableMail)},
    // Written only by the SMTP login dialog.
    {kPreferences,   "EmailAccount",       F::Text,      "",           nullptr,               0, 0, false, TEXT(EmailAccount)},
    {kPreferences,   "EmailPassword",      F::Scrambled, "",           nullptr,               0, 0, false, TEXT(EmailPassword)},
    {kPreferences,   "EnableSMTPAuth",     F::Number,    "0",          nullptr,               0, 39, false, NUMBER(EnableSMTPAuth)},
    {kPreferences,   "EnableSecureSMTP",   F::Number,    "0",          nullptr,               0, 40, false, NUMBER(EnableSecureSMTP)},
    {kPreferences,   "IsMailTo",           F::Number,    "0",          nullptr,               0, 41, false, NUMBER(IsMailTo), 0, 1},
    {kPreferences,   "IsMsgAttachment",    F::Number,    "0",          nullptr,               0, 42, false, NUMBER(IsMsgAttachment)},
    {kPreferences,   "EmailOnIPChangeOnly",F::Number,    "0",          nullptr,               0, 43, false, NUMBER(EmailOnIPChangeOnly)},
    // Edited in the file only.
    {kPreferences,   "RequireVerifiedCertificate", F::Number, "0",     nullptr,               0, 0, false, NUMBER(RequireVerifiedCertificate)},
    {kPreferences,   "RefreshOnNetworkChange", F::Number, "1",         nullptr,               0, 49, false, NUMBER(RefreshOnNetworkChange)},
    // The save writes this one last of all, after the refresh it may start
    // (see Core::SaveSettings), so it has no place in the save's order.
    {kPreferences,   "TriggerProgramStatusUpdate", F::Number, "0",     nullptr,               0, 0, false, NUMBER(TriggerProgramStatusUpdate)},
    // Edited in the file only, so the save leaves them as the user wrote them.
    {kPreferences,   "OnChangeCommand",    F::Text,      "",           nullptr,               0, 0, false, TEXT(OnChangeCommand)},
    {kPreferences,   "DesktopNotifications", F::Number,  "1",          nullptr,               0, 0, false, NUMBER(DesktopNotifications)},
    };
}

// Built on first use, so that a part registered during static
// initialisation finds it whatever the order of the files.
std::vector<SettingKey>& SettingKeyRegistry() {
    static std::vector<SettingKey> keys = CoreSettingKeys();
    return keys;
}

std::vector<SettingsPart>& SettingsPartRegistry() {
    static std::vector<SettingsPart> parts;
    return parts;
}

#undef TEXT
#undef NUMBER

// The keys that have a place in the given order, in that order.
std::vector<const SettingKey*> InOrder(int SettingKey::*order) {
    std::vector<const SettingKey*> keys;
    for (const SettingKey& k : SettingKeyRegistry())
        if (k.*order > 0) keys.push_back(&k);
    std::sort(keys.begin(), keys.end(), [&](const SettingKey* a, const SettingKey* b) { return a->*order < b->*order; });
    return keys;
}

// The text a key is stored as.
std::string StoredForm(const SettingKey& k, Settings& s, const std::string& scrambleKey) {
    return std::visit(
        [&](auto* field) -> std::string {
            if constexpr (std::is_same_v<decltype(field), int*>) {
                return std::to_string(*field);
            } else {
                std::string text = *field;
                if (k.form == SettingForm::Scrambled) ScrambleText(text, scrambleKey);
                return text;
            }
        },
        k.field(s));
}

bool HasKey(const IniFile& ini, const char* section, const char* key) {
    for (const auto& entry : ini.GetSection(section))
        if (EqualsNoCase(entry.first, key)) return true;
    return false;
}

}  // namespace

const std::vector<SettingKey>& SettingKeys() { return SettingKeyRegistry(); }

SettingsPartRegistration::SettingsPartRegistration(SettingsPart part) {
    SettingKeyRegistry().insert(SettingKeyRegistry().end(), part.keys.begin(), part.keys.end());
    SettingsPartRegistry().push_back(std::move(part));
}

void CommitSettingsParts(Settings& s) {
    for (const SettingsPart& part : SettingsPartRegistry())
        if (part.commit) part.commit(s);
}

void KeepFromRefreshStart(const Settings& atStart, Settings& now) {
    for (const SettingsPart& part : SettingsPartRegistry())
        if (part.keepFromRefreshStart) part.keepFromRefreshStart(atStart, now);
}

std::vector<SecretId> PartSecretIds(const Settings& s) {
    std::vector<SecretId> ids;
    for (const SettingsPart& part : SettingsPartRegistry())
        for (const PartSecret& secret : part.secrets) ids.push_back(secret.id(s));
    return ids;
}

bool SettingsFileMissing(const IniFile& ini) {
    std::error_code error;
    return std::filesystem::symlink_status(ini.path(), error).type() == std::filesystem::file_type::not_found;
}

bool LoadSettings(IniFile& ini, Settings& s, const std::string& key, std::vector<StatusMessage>* notes) {
    // One read of the file for all keys, one write for any repair.
    IniBatch batch(ini);
    if (SettingsFileMissing(ini)) return false;

    for (const SettingKey& k : SettingKeyRegistry()) {
        const SettingField field = k.field(s);
        if (int* const* number = std::get_if<int*>(&field)) {
            long value = ini.GetInt(k.section, k.key, LeadingInt(k.loadDefault));
            // "Timeout" 0 or less is the default, as every request reads it.
            if (*number == &s.Timeout) value = TimeoutOrDefault(static_cast<int>(value));
            const long used = std::clamp(value, k.lowest, k.highest);
            if (used != value && notes)
                notes->push_back(Message<Msg::SettingOutOfRange>(ini.GetString(k.section, k.key), k.key, k.section,
                                                                 k.lowest, k.highest, used));
            **number = static_cast<int>(used);
            continue;
        }
        std::string& text = *std::get<std::string*>(field);
        // A name that repairs itself is written when missing, too.
        // The page takes up to 2048 characters for a recipient list: cut at
        // the usual limit it would end in a wrong address.
        if (k.form == SettingForm::LongText) {
            text = CutRecipientList(ini.GetString(k.section, k.key, k.loadDefault, kLongestStoredList), kMaxEmailToChars,
                                    s.EmailToLeftOut);
        } else {
            text = ini.GetString(k.section, k.key, k.repairWhenEmpty ? "" : k.loadDefault);
        }
        if (k.form == SettingForm::Scrambled) UnscrambleText(text, key);
        // The output names must never be empty: repair the file at once.
        if (k.repairWhenEmpty && text.empty()) {
            text = k.loadDefault;
            ini.WriteString(k.section, k.key, text);
        }
    }

    const std::string upper = UpperAscii(s.WANIPURL);
    s.MaintainerServiceFlag = (s.WANIPURL.empty() || upper.find("HOLDENVALE") != std::string::npos ||
                               upper.find("ZELMAR") != std::string::npos ||
                               upper.find("TARNWICK") != std::string::npos)
                                  ? 1
                                  : 0;
    s.RefreshIntv = ClampRefreshInterval(s.RefreshIntv, s.MaintainerServiceFlag);

    // A delimiter pair is never mixed from a stored value and a default.
    if (s.StartDelimiter.empty() || s.EndDelimiter.empty()) {
        s.StartDelimiter = "REMOTE_ADDR:";
        s.EndDelimiter = "<br>";
    }
    return true;
}

bool WriteDefaultSettings(IniFile& ini, const std::string& key) {
    IniBatch batch(ini, IniBatch::kWriteOnCommit);
    bool ok = true;
    for (const SettingKey* k : InOrder(&SettingKey::firstRunOrder)) {
        if (HasKey(ini, k->section, k->key)) continue;
        std::string value = k->firstRunValue;
        if (k->form == SettingForm::Scrambled) ScrambleText(value, key);
        ok = ini.WriteString(k->section, k->key, value) && ok;
    }
    return batch.Commit() && ok;
}

void WriteSavedSettings(IniFile& ini, const Settings& saved, const std::string& key, bool withoutPasswords) {
    IniBatch batch(ini);
    Settings s = saved;
    for (const SettingKey* k : InOrder(&SettingKey::saveOrder)) {
        // The key keeps its place in the file's order, and what it holds
        // until the password is written where it belongs.
        if (withoutPasswords && k->form == SettingForm::Scrambled) {
            ini.WriteString(k->section, k->key, ini.GetString(k->section, k->key, "", kMaxSecretChars));
            continue;
        }
        ini.WriteString(k->section, k->key, StoredForm(*k, s, key));
    }
}

SecretId SmtpSecretId(const std::string& emailServer, const std::string& emailAccount) {
    return SecretId{"smtp", kPreferences, "EmailPassword", emailServer, emailAccount};
}

namespace {
// "https://user@host:443/path" and "ns1.example.net" both give the host.
std::string HostOf(std::string server) {
    server = TrimBlanks(server);
    const std::size_t scheme = server.find("://");
    if (scheme != std::string::npos) server.erase(0, scheme + 3);
    server = server.substr(0, server.find_first_of("/?#"));
    const std::size_t at = server.rfind('@');
    if (at != std::string::npos) server.erase(0, at + 1);
    if (!server.empty() && server.front() == '[') return server.substr(0, server.find(']') + 1);
    return server.substr(0, server.find(':'));
}

// The port a server's address names ("https://host:8443/x", "[::1]:53"), or "".
std::string PortOf(const std::string& server) {
    const std::string host = HostOf(server);
    std::string rest = TrimBlanks(server);
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos) rest.erase(0, scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) rest.erase(0, at + 1);
    return rest.size() > host.size() + 1 && rest[host.size()] == ':' ? rest.substr(host.size() + 1) : std::string();
}

std::vector<EntrySecretFamily>& EntryFamilies() {
    static std::vector<EntrySecretFamily> families;
    return families;
}

SecretId SecretOfSection(const IniFile& ini, const EntrySecretFamily& family, const std::string& section) {
    const std::string login = TrimBlanks(ini.GetString(section, "Login"));
    const std::string name = TrimBlanks(section.substr(family.sectionPrefix.size()));
    const std::string server = ini.GetString(section, family.serverKey);
    return SecretId{family.kind, section, "Secret", HostOf(server), login.empty() ? name : login, PortOf(server)};
}
}  // namespace

EntrySecretFamilyRegistration::EntrySecretFamilyRegistration(EntrySecretFamily family) {
    EntryFamilies().push_back(std::move(family));
}

std::vector<const EntrySecretFamily*> EntrySecretFamilies() {
    std::vector<const EntrySecretFamily*> out;
    for (const EntrySecretFamily& family : EntryFamilies()) out.push_back(&family);
    std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) { return a->option < b->option; });
    return out;
}

SecretId EntrySecretId(const IniFile& ini, const EntrySecretFamily& family, const std::string& name) {
    return SecretOfSection(ini, family, family.sectionPrefix + name);
}

std::vector<SecretId> EntrySecretIds(const IniFile& ini) {
    std::vector<SecretId> ids;
    for (const std::string& section : ini.GetSectionNames()) {
        const std::string upper = UpperAscii(section);
        for (const EntrySecretFamily& family : EntryFamilies())
            if (section.size() > family.sectionPrefix.size() && upper.rfind(UpperAscii(family.sectionPrefix), 0) == 0)
                ids.push_back(SecretOfSection(ini, family, section));
    }
    return ids;
}

bool ReadSettingSecrets(SecretStore& store, Settings& s, std::vector<std::string>& problems) {
    std::vector<std::pair<SecretId, std::string*>> secrets;
    for (const SettingsPart& part : SettingsPartRegistry())
        for (const PartSecret& secret : part.secrets) secrets.emplace_back(secret.id(s), &secret.value(s));
    secrets.emplace_back(SmtpSecretId(s.EmailServer, s.EmailAccount), &s.EmailPassword);
    bool inFile = false;
    for (const auto& [id, value] : secrets) {
        std::string secret, problem;
        SecretStore::Where from = SecretStore::Where::Ini;
        store.Read(id, secret, problem, &from);
        *value = secret;
        inFile = inFile || (from == SecretStore::Where::Ini && !secret.empty());
        if (!problem.empty()) problems.push_back(problem);
    }
    // The entries' secrets are read by their channels; here only where they are.
    for (const SecretId& id : EntrySecretIds(store.ini()))
        inFile = inFile || (!store.ini().GetString(id.section, id.key).empty() &&
                            store.ini().GetString(id.section, id.MarkerKey()).empty());
    return inFile;
}

void WriteSettingSecrets(SecretStore& store, const Settings& s, std::vector<std::string>& notices) {
    Settings edited = s;
    for (const SettingsPart& part : SettingsPartRegistry())
        for (const PartSecret& secret : part.secrets) {
            const SecretId id = secret.id(edited);
            const SecretStore::WriteResult r = store.Write(id, secret.value(edited));
            if (!r.ok) notices.push_back(Text<Msg::PasswordNotSaved>(id.key, r.problem));
            if (!r.notice.empty()) notices.push_back(r.notice);
        }
    std::vector<SecretId> standing = EntrySecretIds(store.ini());
    standing.insert(standing.begin(), SmtpSecretId(s.EmailServer, s.EmailAccount));
    for (const SecretId& id : standing) {
        std::string current, problem;
        // Unreadable: left where it is. Empty: nothing to move.
        if (!store.Read(id, current, problem) || current.empty()) continue;
        const SecretStore::WriteResult r = store.Write(id, current);
        std::fill(current.begin(), current.end(), '\0');
        if (!r.ok) notices.push_back(Text<Msg::SecretNotMoved>(id.key, id.section, r.problem));
        if (!r.notice.empty()) notices.push_back(r.notice);
    }
}

}  // namespace zelmar
