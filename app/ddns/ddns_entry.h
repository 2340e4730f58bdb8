// One dynamic-DNS entry: a "[DDNS <name>]" section of the settings file, read
// into a value, checked, and with its secret kept scrambled.
//
//   [DDNS home]
//   Protocol=rfc2136          a provider's word (zelmar --list-providers)
//   Host=home.example.org     one or more names, comma-separated
//   Server=ns1.example.org    host[:port] (rfc2136) or a base URL (the others)
//   Zone=example.org          the zone updated (rfc2136, cloudflare)
//   KeyName=home-key          the TSIG key's name (rfc2136)
//   KeyAlgorithm=hmac-sha256  hmac-sha256, hmac-sha512 or hmac-sha1
//   Login=                    the account (dyndns2)
//   Records=A,AAAA            which addresses the names follow
//   TTL=300
//   CAFile=                   extra certificate authorities trusted (HTTPS)
//   Enabled=1
//   Secret=...                scrambled like the other stored passwords
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/secret_store.h"

namespace zelmar {

class IniFile;
class SecretStore;

// Which provider an entry uses: its place in the catalogue (ddns_provider.h).
// The four protocols Zelmar began with keep the first four places and their
// names here; the others are reached through the catalogue, by word.
enum class DdnsProtocol : std::uint16_t { Rfc2136, Dyndns2, DuckDns, Cloudflare };

// The section prefix, with its one blank: "[DDNS home]".
inline constexpr const char* kDdnsSectionPrefix = "DDNS ";
// Longest secret stored (a TSIG key of hmac-sha512 is 88 characters).
inline constexpr std::size_t kMaxDdnsSecretChars = 255;
inline constexpr int kDefaultDdnsTtl = 300;

struct DdnsEntry {
    std::string name;  // the part after "DDNS "
    DdnsProtocol protocol = DdnsProtocol::Rfc2136;
    std::vector<std::string> hosts;
    std::string server;  // as written; DdnsServerOrDefault fills an empty one
    std::string zone;
    std::string keyName;
    std::string keyAlgorithm = "hmac-sha256";
    std::string login;
    bool wantA = true;
    bool wantAAAA = false;
    int ttl = kDefaultDdnsTtl;
    std::string caFile;
    bool enabled = true;
    std::string secret;  // in clear, in memory only
    // Non-empty: a secret is stored but cannot be read now; why.
    std::string secretProblem;

    // "DDNS home": the channel's name and its section.
    std::string SectionName() const { return kDdnsSectionPrefix + name; }
};

// "rfc2136" ... and back; false for an unknown word.
const char* DdnsProtocolWord(DdnsProtocol p);
bool ParseDdnsProtocol(const std::string& word, DdnsProtocol& out);

// The server to talk to: the entry's own, or the protocol's public service.
std::string DdnsServerOrDefault(const DdnsEntry& e);

// The names of every "[DDNS x]" section, in file order.
std::vector<std::string> DdnsEntryNames(const IniFile& ini);

// Whether a "[DDNS name]" section exists (names match without regard to case).
bool DdnsEntryExists(const IniFile& ini, const std::string& name);

// Reads one entry. problems gets one clear sentence per setting that could
// not be used (an unknown protocol, no host, a wrong record type ...);
// an entry with problems must not be delivered.
DdnsEntry ReadDdnsEntry(const IniFile& ini, const std::string& name, const std::string& scrambleKey,
                        std::vector<std::string>& problems);

// What keeps an entry, as it stands in memory, from working (no host, an
// unusable name, a missing key name or login, a plain-HTTP server, no
// secret): one sentence each.
std::vector<std::string> CheckDdnsEntry(const DdnsEntry& e);

// Writes every key but the secret (which WriteDdnsSecret keeps).
bool WriteDdnsEntry(IniFile& ini, const DdnsEntry& e);
bool RemoveDdnsEntry(IniFile& ini, const std::string& name);

// The secret of "[DDNS name]": named after the host of its "Server" and its
// "Login" (or the entry's name).
SecretId DdnsSecretId(const IniFile& ini, const std::string& name);

// The one place where an entry's secret is read and written: through the
// SecretStore (DdnsSecretId), so it lives in the desktop keyring or,
// scrambled, in the settings file, as "SecretStore" says. The forms without
// a store use the desktop's Secret Service; unreadable (when given) says
// why a secret that is stored cannot be read now (a locked keyring).
std::string ReadDdnsSecret(const IniFile& ini, const std::string& name, const std::string& scrambleKey,
                           std::string* unreadable = nullptr);
std::string ReadDdnsSecret(SecretStore& store, const std::string& name, std::string* problem = nullptr);
// Refuses a secret that is too long, holds a line break or NUL, or would not
// come back from the file unchanged when it has to go there; error says why,
// notice tells of a fallback to the file.
bool WriteDdnsSecret(IniFile& ini, const std::string& name, const std::string& secret,
                     const std::string& scrambleKey, std::string& error);
bool WriteDdnsSecret(SecretStore& store, const std::string& name, const std::string& secret, std::string& error,
                     std::string& notice);

// A name a section can carry: not empty, no brackets, line breaks or
// leading/trailing blanks.
bool ValidDdnsEntryName(const std::string& name);

// A stable digest of every setting that decides what the entry sends and
// where, the secret included (SecretFingerprint under the folder's
// FingerprintKey): a permanently refused entry starts again when it changes.
std::string DdnsFingerprint(const DdnsEntry& e, const std::string& fingerprintKey);

}  // namespace zelmar
