#include "app/ddns/ddns_entry.h"


#include "app/core/ini_file.h"
#include "app/core/secret_store.h"
#include "app/core/settings.h"
#include "app/core/text.h"
#include "app/ddns/ddns_provider.h"

namespace zelmar {

namespace {
const EntrySecretFamily kDdnsSecrets{
    .kind = "ddns",
    .sectionPrefix = kDdnsSectionPrefix,
    .serverKey = "Server",
    .option = "--set-ddns-secret",
    .help = "               store the secret (TSIG key, password or token) of the\n"
            "               dynamic-DNS entry [DDNS NAME], read from standard input\n",
    .prompt = "Secret: ",
    .limit = 255,  // as long as a mail password may be
    .notStored = "secret not stored",
    .exists = DdnsEntryExists,
    .write = [](SecretStore& store, const std::string& name, const std::string& secret, std::string& error,
                std::string& notice) { return WriteDdnsSecret(store, name, secret, error, notice); },
};
const EntrySecretFamilyRegistration kDdnsSecretsKnown{kDdnsSecrets};
}  // namespace

SecretId DdnsSecretId(const IniFile& ini, const std::string& name) { return EntrySecretId(ini, kDdnsSecrets, name); }

namespace {

constexpr const char* kAlgorithms[] = {"hmac-sha256", "hmac-sha512", "hmac-sha1"};

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string item = TrimBlanks(text.substr(start, comma - start));
        if (!item.empty()) out.push_back(item);
        start = comma + 1;
    }
    return out;
}

std::string Join(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& s : items) out += (out.empty() ? "" : ",") + s;
    return out;
}

// A host name as the DNS carries it: letters, digits, '-', '_' (service
// labels), dots between labels of 1..63 bytes, at most 253 bytes, an
// optional final dot. Anything else would be refused by every server, or
// worse, end up inside a URL.
bool PlausibleHostName(const std::string& host) {
    std::string h = host;
    if (!h.empty() && h.back() == '.') h.pop_back();
    if (h.empty() || h.size() > 253) return false;
    std::size_t label = 0;
    for (char c : h) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '*';
        if (!ok || ++label > 63) return false;
    }
    return label > 0;
}

}  // namespace

const char* DdnsProtocolWord(DdnsProtocol p) { return ProviderOf(p).word; }

bool ParseDdnsProtocol(const std::string& word, DdnsProtocol& out) { return FindDdnsProvider(word, out); }

std::string DdnsServerOrDefault(const DdnsEntry& e) {
    return e.server.empty() ? std::string(ProviderOf(e.protocol).server) : e.server;
}

bool ValidDdnsEntryName(const std::string& name) {
    if (name.empty() || TrimBlanks(name) != name || name.size() > 64) return false;
    for (char c : name)
        if (c == '[' || c == ']' || c == '\r' || c == '\n' || c == '\0' || c == '=' || c == ';') return false;
    return true;
}

std::vector<std::string> DdnsEntryNames(const IniFile& ini) {
    std::vector<std::string> out;
    const std::string prefix = kDdnsSectionPrefix;
    for (const std::string& section : ini.GetSectionNames()) {
        if (section.size() > prefix.size() && EqualsNoCase(section.substr(0, prefix.size()), prefix)) {
            const std::string name = TrimBlanks(section.substr(prefix.size()));
            if (!name.empty()) out.push_back(name);
        }
    }
    return out;
}

bool DdnsEntryExists(const IniFile& ini, const std::string& name) {
    for (const std::string& n : DdnsEntryNames(ini))
        if (EqualsNoCase(n, name)) return true;
    return false;
}

DdnsEntry ReadDdnsEntry(const IniFile& ini, const std::string& name, const std::string& scrambleKey,
                        std::vector<std::string>& problems) {
    DdnsEntry e;
    e.name = name;
    const std::string section = e.SectionName();
    auto get = [&](const char* key, const char* fallback = "") { return ini.GetString(section, key, fallback, 1024); };

    const std::string protocol = get("Protocol");
    if (!ParseDdnsProtocol(protocol, e.protocol))
        problems.push_back("\"Protocol\" must be one of the words zelmar --list-providers prints, not \"" +
                           protocol + "\"");
    e.hosts = SplitList(get("Host"));
    e.server = get("Server");
    e.zone = get("Zone");
    e.keyName = get("KeyName");
    e.keyAlgorithm = get("KeyAlgorithm", "hmac-sha256");
    if (e.keyAlgorithm.empty()) e.keyAlgorithm = "hmac-sha256";
    bool knownAlgorithm = false;
    for (const char* a : kAlgorithms) knownAlgorithm = knownAlgorithm || EqualsNoCase(e.keyAlgorithm, a);
    if (!knownAlgorithm)
        problems.push_back("\"KeyAlgorithm\" must be hmac-sha256, hmac-sha512 or hmac-sha1, not \"" +
                           e.keyAlgorithm + "\"");
    e.login = get("Login");
    const std::vector<std::string> records = SplitList(get("Records", "A"));
    e.wantA = records.empty();
    for (const std::string& r : records) {
        if (EqualsNoCase(r, "A")) {
            e.wantA = true;
        } else if (EqualsNoCase(r, "AAAA")) {
            e.wantAAAA = true;
        } else {
            problems.push_back("\"Records\" may list A and AAAA, not \"" + r + "\"");
        }
    }
    e.ttl = static_cast<int>(ini.GetInt(section, "TTL", kDefaultDdnsTtl));
    if (e.ttl <= 0) e.ttl = kDefaultDdnsTtl;
    e.caFile = get("CAFile");
    e.enabled = ini.GetInt(section, "Enabled", 1) == 1;
    e.secret = ReadDdnsSecret(ini, name, scrambleKey, &e.secretProblem);

    for (std::string& p : CheckDdnsEntry(e)) problems.push_back(std::move(p));
    return e;
}

std::vector<std::string> CheckDdnsEntry(const DdnsEntry& e) {
    std::vector<std::string> problems;
    if (e.hosts.empty()) problems.push_back("\"Host\" names no host");
    for (const std::string& h : e.hosts)
        if (!PlausibleHostName(h)) problems.push_back("\"" + h + "\" is not a host name");
    if (!e.wantA && !e.wantAAAA) problems.push_back("\"Records\" names no record type");
    const DdnsProvider& provider = ProviderOf(e.protocol);
    const DdnsFields& uses = provider.fields;
    if (uses.needsServer && e.server.empty())
        problems.push_back(std::string("\"Server\" is empty: ") + provider.word + " needs the name server to update");
    if (uses.needsKeyName && e.keyName.empty()) problems.push_back("\"KeyName\" is empty");
    if (uses.needsLogin && e.login.empty()) problems.push_back("\"Login\" is empty");
    if (uses.needsZone && e.zone.empty()) problems.push_back("\"Zone\" is empty");
    if (provider.check) provider.check(e, problems);
    if (provider.secretKind != DdnsSecretKind::TsigKey) {
        const std::string base = DdnsServerOrDefault(e);
        if (!EqualsNoCase(base.substr(0, 8), "https://"))
            problems.push_back("\"Server\" must be an https:// address: the secret never travels unencrypted");
    }
    if (e.secret.empty() && e.secretProblem.empty())
        problems.push_back("no secret is stored (zelmar --set-ddns-secret " + e.name + ")");
    return problems;
}

bool WriteDdnsEntry(IniFile& ini, const DdnsEntry& e) {
    IniBatch batch(ini, IniBatch::kWriteOnCommit);
    const std::string s = e.SectionName();
    std::string records;
    if (e.wantA) records = "A";
    if (e.wantAAAA) records += records.empty() ? "AAAA" : ",AAAA";
    bool ok = ini.WriteString(s, "Protocol", std::string(DdnsProtocolWord(e.protocol)));
    ok = ini.WriteString(s, "Host", Join(e.hosts)) && ok;
    ok = ini.WriteString(s, "Server", e.server) && ok;
    ok = ini.WriteString(s, "Zone", e.zone) && ok;
    ok = ini.WriteString(s, "KeyName", e.keyName) && ok;
    ok = ini.WriteString(s, "KeyAlgorithm", e.keyAlgorithm) && ok;
    ok = ini.WriteString(s, "Login", e.login) && ok;
    ok = ini.WriteString(s, "Records", records.empty() ? std::string("A") : records) && ok;
    ok = ini.WriteString(s, "TTL", std::to_string(e.ttl)) && ok;
    ok = ini.WriteString(s, "CAFile", e.caFile) && ok;
    ok = ini.WriteString(s, "Enabled", std::string(e.enabled ? "1" : "0")) && ok;
    return batch.Commit() && ok;
}

bool RemoveDdnsEntry(IniFile& ini, const std::string& name) {
    return ini.DeleteSection(kDdnsSectionPrefix + name);
}

std::string ReadDdnsSecret(const IniFile& ini, const std::string& name, const std::string& scrambleKey,
                           std::string* unreadable) {
    std::string problem;
    bool failed = false;
    std::string secret = ReadStoredSecret(ini, scrambleKey, DdnsSecretId(ini, name), &problem, &failed);
    if (unreadable) *unreadable = failed ? problem : std::string();
    return secret;
}

std::string ReadDdnsSecret(SecretStore& store, const std::string& name, std::string* problem) {
    std::string secret, why;
    store.Read(DdnsSecretId(store.ini(), name), secret, why);
    if (problem) *problem = why;
    return secret;
}

bool WriteDdnsSecret(IniFile& ini, const std::string& name, const std::string& secret,
                     const std::string& scrambleKey, std::string& error) {
    SecretStore store(ini, scrambleKey, MakeSecretServiceKeyring());
    std::string notice;
    return WriteDdnsSecret(store, name, secret, error, notice);
}

bool WriteDdnsSecret(SecretStore& store, const std::string& name, const std::string& secret, std::string& error,
                     std::string& notice) {
    if (!ValidDdnsEntryName(name)) {
        error = "\"" + name + "\" cannot name an entry";
        return false;
    }
    if (secret.empty()) {
        error = "the secret is empty";
        return false;
    }
    if (secret.size() > kMaxDdnsSecretChars) {
        error = "the secret is limited to 255 characters";
        return false;
    }
    if (secret.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        error = "line breaks and NUL characters cannot be stored";
        return false;
    }
    const SecretStore::WriteResult r = store.Write(DdnsSecretId(store.ini(), name), secret);
    error = r.problem;
    notice = r.notice;
    return r.ok;
}

std::string DdnsFingerprint(const DdnsEntry& e, const std::string& fingerprintKey) {
    const std::string canonical = std::string(DdnsProtocolWord(e.protocol)) + '\n' + Join(e.hosts) + '\n' +
                                  e.server + '\n' + e.zone + '\n' + e.keyName + '\n' + e.keyAlgorithm + '\n' +
                                  e.login + '\n' + (e.wantA ? "A" : "") + (e.wantAAAA ? "AAAA" : "") + '\n' +
                                  std::to_string(e.ttl) + '\n' + e.caFile;
    return SecretFingerprint(fingerprintKey, canonical, e.secret);
}

}  // namespace zelmar
