// SecretStore: where the program's secrets (the passwords the settings pages
// edit, the SMTP login's, and later ones such as dynamic-DNS keys or
// webhook tokens) are kept, and the one way to read, write and remove them.
//
// A secret lives in one of two places:
//   - the desktop keyring (a Secret Service on the session bus: GNOME Keyring,
//     KWallet), as an item with the attributes program=zelmar, kind, server,
//     port, account and folder. The settings file then holds an empty value
//     and, beside it, the marker key "<Key>Store=keyring". folder is a random
//     id kept in the settings file ("FolderId" of "[Keyring]"), so two
//     settings folders with the same server and account never share an item
//     (and a folder that moves keeps its items). Items stored before items
//     had a folder (program, kind, server, account only, as "secret-tool
//     store" makes them by hand) are still found: the first read copies such
//     an item to the folder's own and leaves it, as another folder may
//     still read it;
//   - the settings file itself, scrambled with the per-machine key as the
//     passwords always were (no marker key).
//
// "SecretStore" in "Preferences" chooses where writes go: "auto" (the
// default: the keyring when a Secret Service is there and unlocked, else the
// file), "keyring" or "ini". Reads follow the marker, whatever the choice, so
// changing the choice moves each secret at its next write: it is read from
// where it was, written to the new place, and only then removed from the old
// one. Nothing is lost on the way: a keyring write that fails keeps the
// value in the file, and a secret that could not be read (a locked keyring,
// no session bus) is left where it is by a write that has nothing new for it.
//
// The keyring is never waited on for long and never asked to show a prompt:
// a locked keyring that would need one counts as no Secret Service.
//
// A command that stores a secret read from standard input (for example
// "zelmar --set-ddns-secret NAME" for section "[DDNS NAME]") does:
//
//     IniFile ini(settingsPath);
//     SecretStore store(ini, ScrambleKey(), MakeSecretServiceKeyring());
//     const SecretId id = DdnsSecretId(ini, name);   // app/ddns/ddns_entry.h
//     const SecretStore::WriteResult r = store.Write(id, secret);
//     if (!r.ok) { say r.problem on stderr; exit 1 }
//     if (!r.notice.empty()) say r.notice on stderr;   // e.g. "kept in the file"
//
// and the code that uses it reads it back with store.Read(id, value, problem)
// after the section's server and account are known. kind is a short fixed
// word per sort of secret; server, port and account are what the secret
// opens. Key names must not end in "Store" (that suffix is the marker's).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelmar {

class IniFile;

inline constexpr const char* kSecretStoreKey = "SecretStore";
// The marker's value, and its key's suffix.
inline constexpr const char* kSecretInKeyring = "keyring";
inline constexpr const char* kSecretMarkerSuffix = "Store";
// The longest secret read from the settings file.
inline constexpr std::size_t kMaxSecretChars = 4096;

enum class SecretStoreChoice { Auto, Keyring, Ini };

// "SecretStore" of "Preferences": "keyring" and "ini" (any letter case), and
// anything else as "auto".
SecretStoreChoice ReadSecretStoreChoice(const IniFile& ini);

// One secret: where its value sits in the settings file, and the keyring
// item's attributes.
struct SecretId {
    std::string kind;     // "ftp", "proxy", "smtp", "ddns", "webhook", ...
    std::string section;  // section of the value in the settings file
    std::string key;      // key of the value; the marker is key + "Store"
    std::string server;   // the host the secret opens
    std::string account;  // the user name (may be empty)
    std::string port{};   // the port, when the settings name one
    // The settings folder's id (filled in by the SecretStore). Empty: an
    // item from before folders, found only among items without one.
    std::string folder{};

    std::string MarkerKey() const { return key + kSecretMarkerSuffix; }
};

// The keyring's side, behind an interface so that the rules above can be
// tested without a session bus.
class Keyring {
public:
    enum class Status {
        Ok,
        NotFound,     // the service is there, the item is not
        Unavailable,  // no session bus, no Secret Service, or it is locked
        Failed,       // the service refused or did not answer in time
    };
    virtual ~Keyring() = default;
    // Whether secrets can be stored now without a prompt; why says why not.
    virtual Status Probe(std::string& why) = 0;
    virtual Status Lookup(const SecretId& id, std::string& secret, std::string& why) = 0;
    virtual Status Store(const SecretId& id, const std::string& secret, std::string& why) = 0;
    // Removes every item with the id's attributes; NotFound when none was.
    virtual Status Remove(const SecretId& id, std::string& why) = 0;
};

// The time the keyring may cost one run, all its calls together.
inline constexpr std::chrono::milliseconds kKeyringRunBudget{5000};

// The Secret Service on the session bus, through libsecret. Every call ends
// within timeout; without a session bus it answers Unavailable at once
// (it never starts a bus of its own). All these keyrings share one run's
// time (StartKeyringRun): once a call has timed out, or the time is used
// up, they answer Unavailable at once until the next run starts.
std::unique_ptr<Keyring> MakeSecretServiceKeyring(std::chrono::milliseconds timeout = kKeyringRunBudget);

// Starts a run (a refresh, a command): the keyring gets budget again, and a
// keyring that timed out in the last run is asked again. The program's
// start begins the first run.
void StartKeyringRun(std::chrono::milliseconds budget = kKeyringRunBudget);

class SecretStore;

// For a reader with no SecretStore at hand (a channel built from the
// settings file): the secret from the file or, only when the marker says it
// is there, from the desktop keyring. Empty when it cannot be had; problem
// (when given) then says why, and unreadable (when given) tells a secret
// that is stored but cannot be read now (a locked keyring, no session bus)
// from one that is not stored at all. A channel must not go out without a
// secret it has: it fails for this refresh and tries again at the next.
std::string ReadStoredSecret(const IniFile& ini, const std::string& scrambleKey, const SecretId& id,
                             std::string* problem = nullptr, bool* unreadable = nullptr);

// For a channel built from settings read at start-up: a secret that could
// not be read then (value empty, the marker pointing into the keyring) is
// read again now, into value. False, with problem saying why, while the
// keyring still cannot give it.
bool RereadSecret(const IniFile& ini, const std::string& scrambleKey, const SecretId& id, std::string& value,
                  std::string& problem);

// The key of the digests that stand for secrets in the channel records
// ("StoppedFor"): random, made at its first use and kept in the settings
// file (key "Key" of "[Fingerprints]"), so that a digest tells nothing of a
// secret however short it is. Empty when it can be neither read nor stored.
std::string FingerprintKey(IniFile& ini);

// A channel's fingerprint: the HMAC-SHA-256 of its settings text and its
// secret under key. Without a key the secret is left out: a new secret then
// does not restart a stopped channel, but nothing of it is told.
std::string SecretFingerprint(const std::string& key, const std::string& settingsText, const std::string& secret);

class SecretStore {
public:
    // keyring may be null: no Secret Service.
    SecretStore(IniFile& ini, std::string scrambleKey, std::unique_ptr<Keyring> keyring);
    SecretStore(const SecretStore&) = delete;
    SecretStore& operator=(const SecretStore&) = delete;

    IniFile& ini() { return ini_; }
    void SetKeyring(std::unique_ptr<Keyring> keyring) { keyring_ = std::move(keyring); }

    enum class Where { Keyring, Ini, Unchanged };

    // The secret in clear, from where the marker says it lives (told in
    // from, when given). False, with secret empty and problem saying why,
    // when the keyring holds it but cannot be reached; a missing secret is
    // empty and true.
    bool Read(const SecretId& id, std::string& secret, std::string& problem, Where* from = nullptr);
    struct WriteResult {
        bool ok = false;
        Where where = Where::Unchanged;
        std::string problem;  // when !ok: why nothing was stored
        std::string notice;   // when ok: a fallback the user should hear of
    };
    // Stores secret where "SecretStore" says (see the top of this file); an
    // empty secret removes it from both places.
    WriteResult Write(const SecretId& id, const std::string& secret);

    // Removes the secret from the keyring and the file.
    bool Remove(const SecretId& id, std::string& problem);

    // A save: between the two calls the store's writes join the save's one
    // write of the settings file (an open IniBatch), and a secret leaves the
    // keyring only after EndSave was told that write reached the disk.
    void BeginSave() { saving_ = true; }
    void EndSave(bool written);

    // The line that says, once, where the secrets are when no Secret
    // Service can be used: those in the settings file stay there, those in
    // the keyring cannot be read until it can be (their channels try again
    // at each refresh). Empty when the keyring can be used, when there is
    // nothing to say, or when the line was already given.
    std::string StartupNotice(bool secretsInFile, bool secretsInKeyring = false);

    // True when the value fits the settings file scrambled (no line break,
    // no NUL, nothing the file would trim or unquote).
    static bool FitsSettingsFile(const std::string& secret, const std::string& scrambleKey);

private:
    struct Known {
        std::string value;
        std::string server, account, port;
        bool inKeyring = false;
        bool unreadable = false;
    };
    static std::string Slot(const SecretId& id);
    // Whether known names the item id names (server, port, account).
    static bool SameItem(const Known& known, const SecretId& id);
    // id under the names known was read or stored with.
    static SecretId Under(SecretId id, const Known& known);
    // id with this folder's id; create: make and store one when missing.
    SecretId InFolder(SecretId id, bool create);
    // Lookup of the folder's item, or else of an item from before folders,
    // which is then copied to the folder's own.
    Keyring::Status Lookup(const SecretId& id, std::string& secret, std::string& why);
    bool MarkedKeyring(const SecretId& id) const;
    WriteResult WriteToFile(const SecretId& id, const std::string& secret, const Known* before);
    // Removes a keyring item now, or after the save's write; false (with
    // why) when it could not be removed now.
    bool RemoveFromKeyring(const SecretId& id, std::string& why);
    int BatchMode() const;

    IniFile& ini_;
    std::string scrambleKey_;
    std::unique_ptr<Keyring> keyring_;
    std::map<std::string, Known> known_;
    bool noticeGiven_ = false;
    bool saving_ = false;
    std::vector<SecretId> pendingRemovals_;
};

}  // namespace zelmar
