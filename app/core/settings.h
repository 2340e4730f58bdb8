// The settings of the program as held in memory, and the operations that move
// them between memory and "Zelmar.ini".
//
// Member names are the key names as stored in the file, so that a key can be
// found in the code by searching for its name.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "app/core/ini_file.h"
#include "app/core/settings_parts.h"
#include "app/core/secret_store.h"
#include "app/core/status_message.h"

namespace zelmar {

inline constexpr const char* kLocalSettings = "LocalSettings";
inline constexpr const char* kPreferences = "Preferences";
inline constexpr const char* kIPAddress = "IPAddress";

struct Settings {
    // The keys a channel family keeps for itself (see SettingsPart).
    SettingsParts parts;

    // "LocalSettings"
    std::string SaveFileASCII = "Zelmar.txt";
    std::string SaveFileHTML = "Zelmar.html";
    std::string WANIPURL;
    std::string StatusIndicators = "TRUE/FALSE";
    // IPv6 echo page; empty: the built-in IPv6 sources.
    std::string WANIPURL6;
    // Further echo pages (blank-separated) that answer with a bare address
    // and must agree with "WANIPURL".
    std::string WANCheckURLs;
    // The interface the LAN address is taken from; empty: automatic.
    std::string LanInterface;
    // Where the WAN addresses come from, in order ("web", "router",
    // "interface:NAME", "command:PROGRAM"); empty: the echo pages.
    std::string WANSource;
    std::string WANSource6;

    // "Preferences"
    int IsLogging = 0;
    std::string LogFilename;
    int IsMinOnStartup = 0;
    int IsUpdateOnStart = 0;
    int IsUpdateOnShut = 0;
    int NotifyErrorOnShut = 1;
    int SuppressError = 0;
    int UpdateOnNAIP = 1;
    int RefreshIntv = 0;
    int InitStartupDelay = 0;
    int Timeout = 15;
    int MaxLog = 0;
    std::string StartDelimiter;
    std::string EndDelimiter;
    std::string EmailInput;
    std::string EmailServer;
    int EmailServerPort = 25;
    std::string EmailTo;
    std::string EmailFrom;
    std::string EmailSubject;
    int EnableMail = 0;
    std::string EmailAccount;
    std::string EmailPassword;
    int EnableSMTPAuth = 0;
    int EnableSecureSMTP = 0;
    int IsMailTo = 0;
    int IsMsgAttachment = 0;
    int EmailOnIPChangeOnly = 0;
    int TriggerProgramStatusUpdate = 0;
    // 1: a mail server certificate that cannot be verified is refused, even
    // one accepted before.
    int RequireVerifiedCertificate = 0;

    // Not stored: how many recipients of a stored list longer than
    // kMaxEmailToChars were left out when it was cut (at a ";").
    int EmailToLeftOut = 0;
    // 1: a change of the machine's addresses or routes starts a refresh.
    int RefreshOnNetworkChange = 1;
    // A program run after a refresh that changed an address, saw a channel
    // fail or published the offline page (app/notify/command_hook.h).
    std::string OnChangeCommand;
    // 1: the window shows a desktop notification for an address change and
    // for a channel that fails or recovers.
    int DesktopNotifications = 1;

    // Set when the WAN address comes from the maintainer's default service;
    // it puts a 30-minute floor under the refresh interval.
    int MaintainerServiceFlag = 0;
};

// Longest recipient list ("EmailTo") the E-Mail Options page accepts.
inline constexpr std::size_t kMaxEmailToChars = 2048;

// A recipient list within limit characters, cut only at a ";" so that no
// address is cut in two; leftOut is the number of recipients beyond the cut.
std::string CutRecipientList(const std::string& list, std::size_t limit, int& leftOut);

// One key of "LocalSettings" or "Preferences" as the settings operations
// move it: the one table that LoadSettings, WriteDefaultSettings and the
// save all follow, so they cannot disagree about a key's section, default
// or form.
enum class SettingForm {
    Text,       // stored as it is
    LongText,   // stored as it is, read up to kMaxEmailToChars (a recipient list)
    Number,     // stored in decimal, read with the leading-integer conversion
    Scrambled,  // a password: scrambled on file, clear text in memory
};
using SettingField = std::variant<std::string*, int*>;
struct SettingKey {
    const char* section;
    const char* key;
    SettingForm form;
    // What LoadSettings uses when the key is missing (a number as text).
    const char* loadDefault;
    // What a first run writes (nullptr: not written), and its place in the
    // first run's order (1, 2, ...).
    const char* firstRunValue;
    int firstRunOrder;
    // Place in the save's order; 0: the save does not write the key.
    int saveOrder;
    // Written by LoadSettings itself when it reads empty (a name that must
    // never be empty).
    bool repairWhenEmpty;
    SettingField (*field)(Settings&);
    // A number's allowed range. A stored value outside it stays in the file
    // as the user wrote it; the program uses the nearest allowed value and
    // says so once, at load.
    long lowest = kNoLimitLow;
    long highest = kNoLimitHigh;
    static constexpr long kNoLimitLow = -2147483647L - 1;
    static constexpr long kNoLimitHigh = 2147483647L;
};

// Every key that LoadSettings reads, in the order it reads them: the
// core's own, then those of each registered part.
const std::vector<SettingKey>& SettingKeys();

// A password a settings page edits, kept as a secret of the SecretStore.
struct PartSecret {
    SecretId (*id)(const Settings&);
    std::string& (*value)(Settings&);
};

// What a channel family adds to the settings: its rows of the key table
// (their orders take the places left free in the core's), the passwords its
// pages edit, what becomes of its pages' edits when they are committed, and
// what a refresh keeps from the settings it started with.
struct SettingsPart {
    std::vector<SettingKey> keys;
    std::vector<PartSecret> secrets;
    // The pages' edits become the values the channel works with.
    void (*commit)(Settings&) = nullptr;
    // Takes into now what a running refresh keeps from atStart.
    void (*keepFromRefreshStart)(const Settings& atStart, Settings& now) = nullptr;
};
// Makes a part known (a channel family's source file holds one, so that
// linking the family is what makes its keys known).
struct SettingsPartRegistration {
    explicit SettingsPartRegistration(SettingsPart part);
};

// Every registered part's commit, on s.
void CommitSettingsParts(Settings& s);
// Every registered part's keepFromRefreshStart.
void KeepFromRefreshStart(const Settings& atStart, Settings& now);
// The secrets of the passwords the registered parts' pages edit.
std::vector<SecretId> PartSecretIds(const Settings& s);

// The per-machine scrambling key: the first two characters of the host name
// followed by a fixed seven-character text.
std::string ScrambleKey();
std::string ScrambleKeyFor(const std::string& computerName);

// Reversible byte-wise scrambling of stored passwords. Both stop the result
// at the first zero byte that arises.
void ScrambleText(std::string& text, const std::string& key);
void UnscrambleText(std::string& text, const std::string& key);

// Loads every key into s: a missing key takes its load default, a present
// one is used as it stands, checked once here against its range (each value
// out of range adds a line to notes, when given). Returns false, having read
// nothing, when the settings file does not exist: a first run. A file
// without some key is no first run.
bool LoadSettings(IniFile& ini, Settings& s, const std::string& key, std::vector<StatusMessage>* notes = nullptr);

// Writes the first-run values of the keys the file does not hold yet; a key
// that is present is never overwritten. False when the file could not be
// written.
bool WriteDefaultSettings(IniFile& ini, const std::string& key);

// Writes the edited settings (the keys a save owns, in their fixed order):
// the part of the save before the timer is re-armed. With withoutPasswords
// the passwords are left to WriteSettingSecrets.
void WriteSavedSettings(IniFile& ini, const Settings& s, const std::string& key, bool withoutPasswords = false);

// The SMTP login's password ("EmailPassword") as a secret of the
// SecretStore, named after the server and account it opens.
SecretId SmtpSecretId(const std::string& emailServer, const std::string& emailAccount);
// A family of sections, one per entry ("[<prefix><name>]"), each keeping a
// secret under "Secret", named after the entry's server (the host of
// serverKey) and its "Login", or the entry's name when it has none. The
// channel family that owns such sections names them itself (see
// EntrySecretFamilyRegistration); the settings know none by name.
struct EntrySecretFamily {
    std::string kind;           // the keyring's kind of the secrets
    std::string sectionPrefix;  // the section's name before the entry's
    std::string serverKey;      // the key whose host names the secret
    // The command line's "--set-<word>-secret NAME", which reads an entry's
    // secret on standard input and stores it: its spelling ("" for none),
    // the --help lines under it, the prompt on a terminal, the longest
    // secret taken, the start of a refusal's line, whether the entry must
    // exist first (nullptr: no need), and what stores it (checks included).
    std::string option = {};
    std::string help = {};
    std::string prompt = "Secret: ";
    std::size_t limit = 4096;
    std::string notStored = "secret not stored";
    bool (*exists)(const IniFile& ini, const std::string& name) = nullptr;
    bool (*write)(SecretStore& store, const std::string& name, const std::string& secret, std::string& error,
                  std::string& notice) = nullptr;
};
// The secret of the entry name of family.
SecretId EntrySecretId(const IniFile& ini, const EntrySecretFamily& family, const std::string& name);
// Every secret of a known family the settings file has a section for, in
// file order.
std::vector<SecretId> EntrySecretIds(const IniFile& ini);
// The known families, ordered by their option's spelling.
std::vector<const EntrySecretFamily*> EntrySecretFamilies();
// Makes a family known to EntrySecretIds (a channel family's source file
// holds one, so that linking the family is what makes it known).
struct EntrySecretFamilyRegistration {
    explicit EntrySecretFamilyRegistration(EntrySecretFamily family);
};

// After LoadSettings: takes the passwords kept in the keyring from there.
// Each one that cannot be had adds a line to problems (it stays empty in s,
// and where it is). True when a password, or a dynamic-DNS or webhook
// secret, is kept in the settings file.
bool ReadSettingSecrets(SecretStore& store, Settings& s, std::vector<std::string>& problems);

// The save's part for the passwords: those the parts' pages edit, as edited,
// written where "SecretStore" says; the SMTP password, which only its login
// dialog and --set-smtp-login change, and the dynamic-DNS and webhook
// secrets, which only their --set-... commands change, moved there as they
// stand. Fallbacks
// and failures add a line to notices.
void WriteSettingSecrets(SecretStore& store, const Settings& s, std::vector<std::string>& notices);

// Clamps a refresh interval read from the file.
int ClampRefreshInterval(long minutes, int maintainerServiceFlag);

}  // namespace zelmar
