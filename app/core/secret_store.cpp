#include "app/core/secret_store.h"

#include "app/core/ini_file.h"
#include "app/core/secret_text.h"
#include "app/core/settings.h"
#include "app/core/messages.h"

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

bool SecretStore::SameItem(const Known& known, const SecretId& id) {
    return known.server == id.server && known.account == id.account && known.port == id.port;
}

SecretId SecretStore::Under(SecretId id, const Known& known) {
    id.server = known.server;
    id.account = known.account;
    id.port = known.port;
    return id;
}

SecretId SecretStore::InFolder(SecretId id, bool create) {
    constexpr const char* kSection = "Keyring";
    id.folder = TrimBlanks(ini_.GetString(kSection, "FolderId"));
    if (id.folder.empty() && create) {
        const std::string made = RandomHex(16);
        if (!made.empty() && ini_.WriteString(kSection, "FolderId", made)) id.folder = made;
    }
    return id;
}

Keyring::Status SecretStore::Lookup(const SecretId& id, std::string& secret, std::string& why) {
    const SecretId own = InFolder(id, false);
    Keyring::Status st = Keyring::Status::NotFound;
    if (!own.folder.empty()) st = keyring_->Lookup(own, secret, why);
    if (st != Keyring::Status::NotFound) return st;
    SecretId old = id;
    old.folder.clear();
    old.port.clear();
    st = keyring_->Lookup(old, secret, why);
    if (st != Keyring::Status::Ok) return st;
    // Copied, not moved: the item may be another folder's too. A copy that
    // fails is tried again at the next read.
    const SecretId copy = InFolder(id, true);
    std::string ignored;
    if (!copy.folder.empty()) keyring_->Store(copy, secret, ignored);
    return st;
}

bool SecretStore::RemoveFromKeyring(const SecretId& id, std::string& why) {
    if (saving_) {
        pendingRemovals_.push_back(id);
        return true;
    }
    // Only the folder's own item goes: one from before folders may be
    // another folder's too.
    const SecretId own = InFolder(id, false);
    if (own.folder.empty()) return true;
    const Keyring::Status st = keyring_ ? keyring_->Remove(own, why) : Keyring::Status::Unavailable;
    if (!keyring_) why = Text<Msg::NoSecretService>();
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
    Known known{"", id.server, id.account, id.port, false, false};
    if (MarkedKeyring(id)) {
        known.inKeyring = true;
        std::string why;
        Keyring::Status st = keyring_ ? Lookup(id, secret, why) : Keyring::Status::Unavailable;
        if (!keyring_) why = Text<Msg::NoSecretService>();
        // The server or the account was edited since the secret was stored:
        // it is still under the names it was read with, until written anew.
        const auto it = known_.find(Slot(id));
        if (st == Keyring::Status::NotFound && it != known_.end() && it->second.inKeyring &&
            !SameItem(it->second, id)) {
            st = Lookup(Under(id, it->second), secret, why);
            if (st == Keyring::Status::Ok) {
                known.server = it->second.server;
                known.account = it->second.account;
                known.port = it->second.port;
            }
        }
        if (st == Keyring::Status::NotFound) {
            problem = Text<Msg::SecretMissingFromKeyring>(id.key, id.section);
            secret.clear();
        } else if (st != Keyring::Status::Ok) {
            problem = Text<Msg::SecretInLockedKeyring>(id.key, id.section, why);
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
        r.problem = Text<Msg::SecretNotStorableInFile>("secret");
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
            r.problem = Text<Msg::CannotWrite>(ini_.path());
            return r;
        }
    }
    r.ok = true;
    r.where = Where::Ini;
    // Only now that the file holds it may the keyring's copy go.
    if (wasInKeyring && keyring_) {
        const SecretId old = before && before->inKeyring ? Under(id, *before) : id;
        std::string why;
        if (!RemoveFromKeyring(old, why)) r.notice = Text<Msg::KeyringOldCopyKept>(why);
    }
    known_[Slot(id)] = Known{secret, id.server, id.account, id.port, false, false};
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
    std::string why = Text<Msg::NoSecretService>();
    bool keyringUsable = false;
    if (choice != SecretStoreChoice::Ini && keyring_) keyringUsable = keyring_->Probe(why) == Keyring::Status::Ok;

    if (keyringUsable) {
        const bool same = before && !before->unreadable && before->inKeyring && before->value == secret &&
                          SameItem(*before, id) && MarkedKeyring(id);
        if (same) return WriteResult{true, Where::Unchanged, "", ""};
        std::string storeWhy;
        const SecretId own = InFolder(id, true);
        const Keyring::Status st =
            own.folder.empty() ? Keyring::Status::Failed : keyring_->Store(own, secret, storeWhy);
        if (own.folder.empty()) storeWhy = Text<Msg::CannotWrite>(ini_.path());
        if (st == Keyring::Status::Ok) {
            IniBatch batch(ini_, static_cast<IniBatch::Mode>(BatchMode()));
            const bool written = ini_.WriteString(id.section, id.key, "") &&
                                 ini_.WriteString(id.section, id.MarkerKey(), kSecretInKeyring);
            if (!batch.Commit() || !written) {
                // The file still points wherever it did; the keyring's new
                // item is harmless but must not stay unknown to the file.
                std::string ignored;
                if (!(before && before->inKeyring && SameItem(*before, id))) keyring_->Remove(own, ignored);
                return WriteResult{false, Where::Unchanged, Text<Msg::CannotWrite>(ini_.path()), ""};
            }
            WriteResult r{true, Where::Keyring, "", ""};
            // An item stored under other attributes (the server or the
            // account changed) is replaced by this one.
            if (before && before->inKeyring && !SameItem(*before, id)) {
                std::string removeWhy;
                if (!RemoveFromKeyring(Under(id, *before), removeWhy))
                    r.notice = Text<Msg::KeyringOldCopyKept>(removeWhy);
            }
            known_[Slot(id)] = Known{secret, id.server, id.account, id.port, true, false};
            return r;
        }
        why = storeWhy;
        WriteResult r = WriteToFile(id, secret, before);
        if (r.ok) r.notice = Text<Msg::KeyringRefusedSecret>(id.key, why, ini_.path());
        return r;
    }

    // Unchanged and kept in a keyring that cannot be reached just now (a
    // locked screen, a slow service): it stays there.
    const bool leavesKeyring = choice != SecretStoreChoice::Ini && MarkedKeyring(id);
    if (leavesKeyring && before && before->inKeyring && !before->unreadable && before->value == secret &&
        SameItem(*before, id))
        return WriteResult{true, Where::Unchanged, "", ""};
    WriteResult r = WriteToFile(id, secret, before);
    if (r.ok && (choice == SecretStoreChoice::Keyring || leavesKeyring))
        r.notice = Text<Msg::KeyringUnusableSecretInFile>(why, id.key, ini_.path());
    return r;
}

bool SecretStore::Remove(const SecretId& id, std::string& problem) {
    const auto it = known_.find(Slot(id));
    if (MarkedKeyring(id)) {
        std::string why;
        if (!RemoveFromKeyring(id, why)) {
            problem = Text<Msg::KeyringNotReachableToRemove>(id.key, why);
            return false;
        }
        // Also an item stored under the attributes the secret was read with.
        if (it != known_.end() && it->second.inKeyring && !SameItem(it->second, id))
            RemoveFromKeyring(Under(id, it->second), why);
    }
    IniBatch batch(ini_, static_cast<IniBatch::Mode>(BatchMode()));
    const bool written =
        ini_.WriteString(id.section, id.key, "") && ini_.WriteString(id.section, id.MarkerKey(), std::nullopt);
    if (!batch.Commit() || !written) {
        problem = Text<Msg::CannotWrite>(ini_.path());
        return false;
    }
    known_[Slot(id)] = Known{"", id.server, id.account, id.port, false, false};
    return true;
}

std::string ReadStoredSecret(const IniFile& ini, const std::string& scrambleKey, const SecretId& id,
                             std::string* problem, bool* unreadable) {
    const bool inKeyring =
        EqualsNoCase(TrimBlanks(ini.GetString(id.section, id.MarkerKey())), kSecretInKeyring);
    // A store that only reads never writes the file it is given; the session
    // bus is asked only for a secret that lives there.
    SecretStore store(const_cast<IniFile&>(ini), scrambleKey, inKeyring ? MakeSecretServiceKeyring() : nullptr);
    std::string secret, why;
    const bool read = store.Read(id, secret, why);
    if (problem) *problem = why;
    if (unreadable) *unreadable = !read;
    return secret;
}

std::string FingerprintKey(IniFile& ini) {
    constexpr const char* kSection = "Fingerprints";
    std::string key = TrimBlanks(ini.GetString(kSection, "Key"));
    if (key.size() >= 32) return key;
    key = RandomHex(32);
    if (key.empty() || !ini.WriteString(kSection, "Key", key)) return {};
    return key;
}

std::string SecretFingerprint(const std::string& key, const std::string& settingsText, const std::string& secret) {
    if (key.empty()) return HmacSha256Hex("", settingsText);
    return HmacSha256Hex(key, settingsText + '\n' + HmacSha256Hex(key, secret));
}

bool RereadSecret(const IniFile& ini, const std::string& scrambleKey, const SecretId& id, std::string& value,
                  std::string& problem) {
    if (!value.empty() || !EqualsNoCase(TrimBlanks(ini.GetString(id.section, id.MarkerKey())), kSecretInKeyring))
        return true;
    bool unreadable = false;
    value = ReadStoredSecret(ini, scrambleKey, id, &problem, &unreadable);
    return !unreadable;
}

std::string SecretStore::StartupNotice(bool secretsInFile, bool secretsInKeyring) {
    if (noticeGiven_ || (!secretsInFile && !secretsInKeyring)) return "";
    const SecretStoreChoice choice = ReadSecretStoreChoice(ini_);
    if (choice == SecretStoreChoice::Ini && !secretsInKeyring) return "";
    std::string why = Text<Msg::NoSecretService>();
    if (keyring_ && keyring_->Probe(why) == Keyring::Status::Ok) return "";
    noticeGiven_ = true;
    if (!secretsInKeyring) return Text<Msg::PasswordsScrambledInFile>(why);
    return secretsInFile ? Text<Msg::SomePasswordsUnreachable>(why) : Text<Msg::AllPasswordsUnreachable>(why);
}

}  // namespace zelmar
