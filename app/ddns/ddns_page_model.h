// The "Dynamic DNS" page without its widgets: the list of entries with each
// one's last outcome, and the add, edit, remove and enable operations, each
// written to the settings file at once (like the SMTP login dialog), so the
// page has nothing for "&Save" to collect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/ddns/ddns_entry.h"

namespace zelmar {

class IniFile;

struct DdnsRow {
    std::string name;
    std::string protocol;
    std::string hosts;
    bool enabled = true;
    std::string lastOutcome;  // "updated 12/07/26 17:02:11", "stopped: ...", "never updated"
};

class DdnsPageModel {
public:
    DdnsPageModel(IniFile& ini, std::string scrambleKey) : ini_(ini), scrambleKey_(std::move(scrambleKey)) {}

    std::vector<DdnsRow> Rows() const;

    // The entry as stored (its secret left out: the dialog never shows it).
    DdnsEntry Load(const std::string& name) const;

    // Writes an added or edited entry. newSecret empty keeps the stored one.
    // Refuses a name that is taken (when adding) or cannot name a section,
    // and an entry CheckDdnsEntry finds fault with; error says why.
    bool Save(const DdnsEntry& entry, const std::string& newSecret, bool adding, std::string& error);
    // Removes the entry and its channel's record, so that an entry added
    // later under the same name starts afresh.
    bool Remove(const std::string& name);
    bool SetEnabled(const std::string& name, bool enabled);

private:
    IniFile& ini_;
    std::string scrambleKey_;
};

// The channel's record ("[Channel DDNS <name>]") as the one line the page
// shows.
std::string DdnsOutcomeText(const IniFile& ini, const std::string& name);

}  // namespace zelmar
