#include "app/ddns/ddns_page_model.h"

#include <ctime>

#include "app/core/event_log.h"
#include "app/core/ini_file.h"
#include "app/core/text.h"
#include "app/refresh/channel_record.h"

namespace zelmar {

namespace {

// The program's time format, "%m/%d/%y %H:%M:%S", local time.
std::string When(std::int64_t seconds) { return LocalTimeText(static_cast<std::time_t>(seconds), "%m/%d/%y %H:%M:%S"); }

}  // namespace

std::string DdnsOutcomeText(const IniFile& ini, const std::string& name) {
    const ChannelRecord r = LoadChannelRecord(ini, kDdnsSectionPrefix + name);
    if (!r.stoppedFor.empty()) return "stopped" + (r.stopReason.empty() ? std::string() : ": " + r.stopReason);
    if (r.failures > 0) {
        return "failed " + std::to_string(r.failures) + (r.failures == 1 ? " time" : " times") +
               (r.retryAt > 0 ? ", next try " + When(r.retryAt) : std::string());
    }
    return r.everDelivered() ? "updated " + When(r.deliveredAt) : "never updated";
}

std::vector<DdnsRow> DdnsPageModel::Rows() const {
    std::vector<DdnsRow> rows;
    for (const std::string& name : DdnsEntryNames(ini_)) {
        std::vector<std::string> problems;
        const DdnsEntry e = ReadDdnsEntry(ini_, name, scrambleKey_, problems);
        DdnsRow row;
        row.name = name;
        row.protocol = ini_.GetString(e.SectionName(), "Protocol");
        for (const std::string& h : e.hosts) row.hosts += (row.hosts.empty() ? "" : ", ") + h;
        row.enabled = e.enabled;
        row.lastOutcome = DdnsOutcomeText(ini_, name);
        rows.push_back(std::move(row));
    }
    return rows;
}

DdnsEntry DdnsPageModel::Load(const std::string& name) const {
    std::vector<std::string> problems;
    DdnsEntry e = ReadDdnsEntry(ini_, name, scrambleKey_, problems);
    e.secret.clear();
    return e;
}

bool DdnsPageModel::Save(const DdnsEntry& entry, const std::string& newSecret, bool adding, std::string& error) {
    if (!ValidDdnsEntryName(entry.name)) {
        error = "A name must not be empty, begin or end with a blank, or hold [ ] = ;";
        return false;
    }
    if (adding && DdnsEntryExists(ini_, entry.name)) {
        error = "There is an entry \"" + entry.name + "\" already.";
        return false;
    }
    DdnsEntry checked = entry;
    // A stored secret the keyring cannot give now is still the entry's.
    checked.secret = newSecret.empty() ? ReadDdnsSecret(ini_, entry.name, scrambleKey_, &checked.secretProblem)
                                       : newSecret;
    const std::vector<std::string> problems = CheckDdnsEntry(checked);
    if (!problems.empty()) {
        error = problems.front();
        if (!error.empty()) error[0] = static_cast<char>(UpperAscii(error.substr(0, 1))[0]);
        error += ".";
        return false;
    }
    IniBatch batch(ini_, IniBatch::kWriteOnCommit);
    if (!newSecret.empty() && !WriteDdnsSecret(ini_, entry.name, newSecret, scrambleKey_, error)) return false;
    if (!WriteDdnsEntry(ini_, entry) || !batch.Commit()) {
        error = "Cannot write " + ini_.path() + ".";
        return false;
    }
    return true;
}

bool DdnsPageModel::Remove(const std::string& name) {
    IniBatch batch(ini_, IniBatch::kWriteOnCommit);
    const bool removed = RemoveDdnsEntry(ini_, name);
    ini_.DeleteSection(ChannelSection(kDdnsSectionPrefix + name));
    return batch.Commit() && removed;
}

bool DdnsPageModel::SetEnabled(const std::string& name, bool enabled) {
    return ini_.WriteString(kDdnsSectionPrefix + name, "Enabled", std::string(enabled ? "1" : "0"));
}

}  // namespace zelmar
