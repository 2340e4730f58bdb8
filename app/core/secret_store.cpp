#include "app/core/secret_store.h"

#include "app/core/ini_file.h"
#include "app/core/settings.h"

namespace zelmar {

SecretStoreChoice ReadSecretStoreChoice(const IniFile& ini) {
    const std::string v = TrimBlanks(ini.GetString(kPreferences, kSecretStoreKey, "auto"));
    if (EqualsNoCase(v, "keyring")) return SecretStoreChoice::Keyring;
    if (EqualsNoCase(v, "ini")) return SecretStoreChoice::Ini;
    return SecretStoreChoice::Auto;
}

SecretStore::SecretStore(IniFile& ini, std::string scrambleKey, std::unique_ptr<Keyring> keyring)
    : ini_(ini), scrambleKey_(std::move(scrambleKey)), keyring_(std::move(keyring)) {}

std::string SecretStore::Slot(const SecretId& id) { return UpperAscii(id.section) + "\n" + UpperAscii(id.key); }

bool SecretStore::MarkedKeyring(const SecretId& id) const {
    return EqualsNoCase(TrimBlanks(ini_.GetString(id.section, id.MarkerKey())), kSecretInKeyring);
}

bool SecretStore::FitsSettingsFile(const std::string& secret, const std::string& scrambleKey) {
    if (secret.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    if (secret.size() > kMaxSecretChars) return false;
    std::string scrambled = secret;
    ScrambleText(scrambled, scrambleKey);
    // The scrambled form must come back as it went in: the settings file
    // trims values, drops enclosing quotes and cannot hold line breaks.
    std::string check = scrambled;
    UnscrambleText(check, scrambleKey);
    const bool quoted = scrambled.size() >= 2 && (scrambled.front() == '"' || scrambled.front() == '\'') &&
                        scrambled.back() == scrambled.front();
    return check == secret && TrimBlanks(scrambled) == scrambled && !quoted &&
           scrambled.find_first_of("\r\n") == std::string::npos;
}

int SecretStore::BatchMode() const { return saving_ ? IniBatch::kJoinOuter : IniBatch::kWriteOnCommit; }

bool SecretStore::RemoveFromKeyring(const SecretId& id, std::string& why) {
    if (saving_) {
        pendingRemovals_.push_back(id);
        return true;
    }
    const Keyring::Status st = keyring_ ? keyring_->Remove(id, why) : Keyring::Status::Unavailable;
    if (!keyring_) why = "no Secret Service";
    return st == Keyring::Status::Ok || st == Keyring::Status::NotFound;
}

void SecretStore::EndSave(bool written) {
    saving_ = false;
    std::vector<SecretId> removals;
    removals.swap(pendingRemovals_);
    // Not written: the file still points into the keyring, so the items stay.
    if (!written) return;
    std::string why;
    for (const SecretId& id : removals) RemoveFromKeyring(id, why);
}

bool SecretStore::Read(const SecretId& id, std::string& secret, std::string& problem, Where* from) {
    if (from) *from = MarkedKeyring(id) ? Where::Keyring : Where::Ini;
    secret.clear();
    Known known{"", id.server, id.account, false, false};
    if (MarkedKeyring(id)) {
        known.inKeyring = true;
        std::string why;
        Keyring::Status st = keyring_ ? keyring_->Lookup(id, secret, why) : Keyring::Status::Unavailable;
        if (!keyring_) why = "no Secret Service";
        // The server or the account was edited since the secret was stored:
        // it is still under the names it was read with, until written anew.
        const auto it = known_.find(Slot(id));
        if (st == Keyring::Status::NotFound && it != known_.end() && it->second.inKeyring &&
            (it->second.server != id.server || it->second.account != id.account)) {
            SecretId old = id;
            old.server = it->second.server;
            old.account = it->second.account;
            st = keyring_->Lookup(old, secret, why);
            if (st == Keyring::Status::Ok) {
                known.server = old.server;
                known.account = old.account;
            }
        }
        if (st == Keyring::Status::NotFound) {
            problem = "the " + id.key + " of " + id.section + " is missing from the keyring";
            secret.clear();
        } else if (st != Keyring::Status::Ok) {
            problem = "the " + id.key + " of " + id.section + " is in the keyring, which cannot be read: " + why;
            secret.clear();
            known.unreadable = true;
            known_[Slot(id)] = known;
            return false;
        }
    } else {
        secret = ini_.GetString(id.section, id.key, "", kMaxSecretChars);
        UnscrambleText(secret, scrambleKey_);
    }
    known.value = secret;
    known_[Slot(id)] = known;
    return true;
}

SecretStore::WriteResult SecretStore::WriteToFile(const SecretId& id, const std::string& secret,
                                                  const Known* before) {
    WriteResult r;
    if (!FitsSettingsFile(secret, scrambleKey_)) {
        r.problem = "this secret cannot be stored in the settings file; please choose another";
        return r;
    }
    std::string scrambled = secret;
    ScrambleText(scrambled, scrambleKey_);
    const bool wasInKeyring = MarkedKeyring(id);
    {
        IniBatch batch(ini_, static_cast<IniBatch::Mode>(BatchMode()));
        const bool written = ini_.WriteString(id.section, id.key, scrambled) &&
                             ini_.WriteString(id.section, id.MarkerKey(), std::nullopt);
        if (!batch.Commit() || !written) {
            r.problem = "cannot write " + ini_.path();
            return r;
        }
    }
    r.ok = true;
    r.where = Where::Ini;
    // Only now that the file holds it may the keyring's copy go.
    if (wasInKeyring && keyring_) {
        SecretId old = id;
        if (before && before->inKeyring) {
            old.server = before->server;
            old.account = before->account;
        }
        std::string why;
        if (!RemoveFromKeyring(old, why)) r.notice = "the old copy in the keyring could not be removed: " + why;
    }
    known_[Slot(id)] = Known{secret, id.server, id.account, false, false};
    return r;
}

SecretStore::WriteResult SecretStore::Write(const SecretId& id, const std::string& secret) {
    const auto it = known_.find(Slot(id));
    const Known* before = it == known_.end() ? nullptr : &it->second;
    // A secret that could not be read stays where it is until there is
    // something new to store: writing the empty value it reads as would
    // lose it.
    if (before && before->unreadable && secret.empty()) return WriteResult{true, Where::Unchanged, "", ""};

    if (secret.empty()) {
        // No secret: nothing in either place.
        if (MarkedKeyring(id)) {
            std::string problem;
            if (!Remove(id, problem)) return WriteResult{false, Where::Unchanged, problem, ""};
            return WriteResult{true, Where::Ini, "", ""};
        }
        WriteResult r = WriteToFile(id, secret, before);
        return r;
    }

    // Asked only for a secret to store: a save without passwords costs no
    // round trip to the session bus.
    const SecretStoreChoice choice = ReadSecretStoreChoice(ini_);
    std::string why = "no Secret Service";
    bool keyringUsable = false;
    if (choice != SecretStoreChoice::Ini && keyring_) keyringUsable = keyring_->Probe(why) == Keyring::Status::Ok;

    if (keyringUsable) {
        const bool same = before && !before->unreadable && before->inKeyring && before->value == secret &&
                          before->server == id.server && before->account == id.account && MarkedKeyring(id);
        if (same) return WriteResult{true, Where::Unchanged, "", ""};
        std::string storeWhy;
        const Keyring::Status st = keyring_->Store(id, secret, storeWhy);
        if (st == Keyring::Status::Ok) {
            IniBatch batch(ini_, static_cast<IniBatch::Mode>(BatchMode()));
            const bool written = ini_.WriteString(id.section, id.key, "") &&
                                 ini_.WriteString(id.section, id.MarkerKey(), kSecretInKeyring);
            if (!batch.Commit() || !written) {
                // The file still points wherever it did; the keyring's new
                // item is harmless but must not stay unknown to the file.
                std::string ignored;
                if (!(before && before->inKeyring && before->server == id.server && before->account == id.account))
                    keyring_->Remove(id, ignored);
                return WriteResult{false, Where::Unchanged, "cannot write " + ini_.path(), ""};
            }
            WriteResult r{true, Where::Keyring, "", ""};
            // An item stored under other attributes (the server or the
            // account changed) is replaced by this one.
            if (before && before->inKeyring && (before->server != id.server || before->account != id.account)) {
                SecretId old = id;
                old.server = before->server;
                old.account = before->account;
                std::string removeWhy;
                if (!RemoveFromKeyring(old, removeWhy))
                    r.notice = "the old copy in the keyring could not be removed: " + removeWhy;
            }
            known_[Slot(id)] = Known{secret, id.server, id.account, true, false};
            return r;
        }
        why = storeWhy;
        WriteResult r = WriteToFile(id, secret, before);
        if (r.ok) r.notice = "the keyring did not take the " + id.key + " (" + why + "); it is kept scrambled in " +
                             ini_.path();
        return r;
    }

    // Unchanged and kept in a keyring that cannot be reached just now (a
    // locked screen, a slow service): it stays there.
    const bool leavesKeyring = choice != SecretStoreChoice::Ini && MarkedKeyring(id);
    if (leavesKeyring && before && before->inKeyring && !before->unreadable && before->value == secret &&
        before->server == id.server && before->account == id.account)
        return WriteResult{true, Where::Unchanged, "", ""};
    WriteResult r = WriteToFile(id, secret, before);
    if (r.ok && (choice == SecretStoreChoice::Keyring || leavesKeyring))
        r.notice = "the keyring cannot be used (" + why + "); the " + id.key + " is kept scrambled in " + ini_.path();
    return r;
}

bool SecretStore::Remove(const SecretId& id, std::string& problem) {
    const auto it = known_.find(Slot(id));
    if (MarkedKeyring(id)) {
        std::string why;
        if (!RemoveFromKeyring(id, why)) {
            problem = "the keyring cannot be reached to remove the " + id.key + ": " + why;
            return false;
        }
        // Also an item stored under the attributes the secret was read with.
        if (it != known_.end() && it->second.inKeyring &&
            (it->second.server != id.server || it->second.account != id.account)) {
            SecretId old = id;
            old.server = it->second.server;
            old.account = it->second.account;
            RemoveFromKeyring(old, why);
        }
    }
    IniBatch batch(ini_, static_cast<IniBatch::Mode>(BatchMode()));
    const bool written =
        ini_.WriteString(id.section, id.key, "") && ini_.WriteString(id.section, id.MarkerKey(), std::nullopt);
    if (!batch.Commit() || !written) {
        problem = "cannot write " + ini_.path();
        return false;
    }
    known_[Slot(id)] = Known{"", id.server, id.account, false, false};
    return true;
}

std::string ReadStoredSecret(const IniFile& ini, const std::string& scrambleKey, const SecretId& id,
                             std::string* problem) {
    const bool inKeyring =
        EqualsNoCase(TrimBlanks(ini.GetString(id.section, id.MarkerKey())), kSecretInKeyring);
    // A store that only reads never writes the file it is given; the session
    // bus is asked only for a secret that lives there.
    SecretStore store(const_cast<IniFile&>(ini), scrambleKey, inKeyring ? MakeSecretServiceKeyring() : nullptr);
    std::string secret, why;
    store.Read(id, secret, why);
    if (problem) *problem = why;
    return secret;
}

std::string SecretStore::StartupNotice(bool secretsInFile) {
    if (noticeGiven_ || !secretsInFile) return "";
    const SecretStoreChoice choice = ReadSecretStoreChoice(ini_);
    if (choice == SecretStoreChoice::Ini) return "";
    std::string why = "no Secret Service";
    if (keyring_ && keyring_->Probe(why) == Keyring::Status::Ok) return "";
    noticeGiven_ = true;
    return "Passwords are kept scrambled in the settings file: the desktop keyring cannot be used (" + why + ").";
}

}  // namespace zelmar
