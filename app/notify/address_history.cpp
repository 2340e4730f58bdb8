#include "app/notify/address_history.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "app/core/atomic_file.h"
#include "app/core/event_log.h"
#include "app/core/file_io.h"
#include "app/core/messages.h"

namespace zelmar {

namespace {

// A history file is a few KB; anything much larger is not ours.
constexpr std::size_t kMaxHistoryFileBytes = 1024 * 1024;

using nlohmann::json;

json ToJson(const AddressSet& a) {
    return {{"wan", a.wan.Plain()}, {"lan", a.lan.Plain()}, {"wan6", a.wan6.Plain()}, {"lan6", a.lan6.Plain()}};
}

AddressSet FromJson(const json& j) {
    AddressSet a;
    const auto text = [&j](const char* key) {
        const auto it = j.find(key);
        return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    a.wan = text("wan");
    a.lan = text("lan");
    a.wan6 = text("wan6");
    a.lan6 = text("lan6");
    return a;
}

std::string HtmlEscaped(const std::string& s) {
    std::string out;
    for (const char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

// "old -> new" for a family that changed, the address alone otherwise.
std::string Transition(bool changed, const Address& before, const Address& after, const char* arrow,
                       std::string (*escape)(const std::string&)) {
    const auto text = [escape](const Address& a) { return a.known() ? escape(a.text()) : std::string("-"); };
    if (!changed) {
        // The family kept its address; a lookup that failed meanwhile
        // changed nothing.
        const Address& kept = after.known() ? after : before;
        return kept.known() ? escape(kept.text()) : std::string();
    }
    return text(before) + arrow + text(after);
}

std::string AsIs(const std::string& s) { return s; }

}  // namespace

std::optional<AddressChange> ChangeIn(const RefreshSnapshot& s) {
    if (!ChangesBetween(s.previous, s.current).any()) return std::nullopt;
    return AddressChange{std::chrono::duration_cast<std::chrono::seconds>(s.time.time_since_epoch()).count(),
                         s.previous, s.current};
}

bool AddressHistory::Load(std::string& error) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.clear();
    // The program's own file: a link (to a file of the user's that the next
    // change would overwrite) or a named pipe (that would hang the read) is
    // no history.
    FileReadResult r = ReadRegularFile(path_, kMaxHistoryFileBytes, CapMode::Refuse, false);
    if (r.missing) return true;
    if (r.tooLarge) {
        error = Text<Msg::HistoryTooLarge>(path_);
        return false;
    }
    if (!r.ok) {
        error = Text<Msg::CannotReadBecause>(path_, r.err == ELOOP    ? Text<Msg::SymbolicLink>()
                                                    : r.notRegular ? Text<Msg::NotARegularFile>()
                                                                   : std::string(std::strerror(r.err)));
        return false;
    }
    const std::string& text = r.data;
    const json doc = json::parse(text, nullptr, false);
    const auto list = doc.is_object() ? doc.find("changes") : doc.end();
    if (doc.is_discarded() || list == doc.end() || !list->is_array()) {
        error = Text<Msg::HistoryNotAHistory>(path_);
        return false;
    }
    for (const json& item : *list) {
        if (!item.is_object() || !item.contains("time") || !item["time"].is_number_integer()) continue;
        AddressChange c;
        c.time = item["time"].get<std::int64_t>();
        if (item.contains("before") && item["before"].is_object()) c.before = FromJson(item["before"]);
        if (item.contains("after") && item["after"].is_object()) c.after = FromJson(item["after"]);
        entries_.push_back(std::move(c));
    }
    if (entries_.size() > kMaxHistoryEntries)
        entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(kMaxHistoryEntries));
    return true;
}

bool AddressHistory::Add(const AddressChange& change, std::string& error) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.push_back(change);
    if (entries_.size() > kMaxHistoryEntries)
        entries_.erase(entries_.begin(), entries_.end() - static_cast<std::ptrdiff_t>(kMaxHistoryEntries));
    json list = json::array();
    for (const AddressChange& c : entries_)
        list.push_back({{"time", c.time}, {"before", ToJson(c.before)}, {"after", ToJson(c.after)}});
    const std::string text =
        json{{"changes", list}}.dump(1, '\t', false, json::error_handler_t::replace) + "\n";
    AtomicWriteOptions options;
    options.followLinks = false;
    const AtomicWriteResult written = ReplaceFileAtomically(path_, text, options);
    if (!written.ok()) {
        error = Text<Msg::CannotWriteBecause>(
            path_, written.err == ELOOP ? Text<Msg::SymbolicLink>() : std::string(std::strerror(written.err)));
        return false;
    }
    return true;
}

std::vector<AddressChange> AddressHistory::Entries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_;
}

std::string HistoryTimeText(std::int64_t time) {
    return LocalTimeText(static_cast<std::time_t>(time), "%m/%d/%y %H:%M:%S");
}

std::map<std::string, std::string, std::less<>> HistoryValues(const std::vector<AddressChange>& recorded,
                                                              const RefreshSnapshot& snapshot, bool html) {
    std::vector<AddressChange> entries = recorded;
    if (auto pending = ChangeIn(snapshot); pending && (entries.empty() || !(entries.back() == *pending)))
        entries.push_back(*pending);

    std::string oldWan, oldLan, oldWan6, changedAt;
    bool wanSeen = false, lanSeen = false, wan6Seen = false;
    std::string rows;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const AddressChange& c = *it;
        // Entries written before unknown had a state of their own may hold
        // "N/A -> address": the same rule as for a new change reads them.
        const AddressChanges changed = ChangesBetween(c.before, c.after);
        if (!wanSeen && changed.wan) {
            wanSeen = true;
            oldWan = c.before.wan.text();
            changedAt = HistoryTimeText(c.time);
        }
        if (!lanSeen && changed.lan) {
            lanSeen = true;
            oldLan = c.before.lan.text();
        }
        if (!wan6Seen && changed.wan6) {
            wan6Seen = true;
            oldWan6 = c.before.wan6.text();
        }
        if (html) {
            rows += "<tr><td>" + HistoryTimeText(c.time) + "</td>";
            rows += "<td>" + Transition(changed.wan, c.before.wan, c.after.wan, " &rarr; ", HtmlEscaped) + "</td>";
            rows += "<td>" + Transition(changed.lan, c.before.lan, c.after.lan, " &rarr; ", HtmlEscaped) + "</td>";
            rows += "<td>" + Transition(changed.wan6, c.before.wan6, c.after.wan6, " &rarr; ", HtmlEscaped) + "</td>";
            rows += "<td>" + Transition(changed.lan6, c.before.lan6, c.after.lan6, " &rarr; ", HtmlEscaped) + "</td>";
            rows += "</tr>\n";
        } else {
            rows += HistoryTimeText(c.time) + "  WAN " + Transition(changed.wan, c.before.wan, c.after.wan, " -> ", AsIs) +
                    ", LAN " + Transition(changed.lan, c.before.lan, c.after.lan, " -> ", AsIs);
            if (c.before.wan6.known() || c.after.wan6.known())
                rows += ", WAN IPv6 " + Transition(changed.wan6, c.before.wan6, c.after.wan6, " -> ", AsIs);
            if (c.before.lan6.known() || c.after.lan6.known())
                rows += ", LAN IPv6 " + Transition(changed.lan6, c.before.lan6, c.after.lan6, " -> ", AsIs);
            rows += "\n";
        }
    }
    return {{"old_wan", oldWan}, {"old_lan", oldLan}, {"old_wan6", oldWan6}, {"changed_at", changedAt},
            {"history", rows}};
}

std::vector<HistoryRow> HistoryRows(const std::vector<AddressChange>& entries) {
    std::vector<HistoryRow> rows;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        const AddressChanges c = ChangesBetween(it->before, it->after);
        rows.push_back({HistoryTimeText(it->time), Transition(c.wan, it->before.wan, it->after.wan, " → ", AsIs),
                        Transition(c.lan, it->before.lan, it->after.lan, " → ", AsIs),
                        Transition(c.wan6, it->before.wan6, it->after.wan6, " → ", AsIs),
                        Transition(c.lan6, it->before.lan6, it->after.lan6, " → ", AsIs)});
    }
    return rows;
}

std::string TimeSinceLastChange(const std::vector<AddressChange>& entries, std::int64_t now) {
    if (entries.empty()) return {};
    // The time comes from a file anyone may have edited: one far in the past
    // (down to INT64_MIN) counts as the longest time there is, instead of
    // overflowing into a negative one.
    std::int64_t seconds = 0;
    if (__builtin_sub_overflow(now, entries.back().time, &seconds))
        seconds = entries.back().time < 0 ? std::numeric_limits<std::int64_t>::max() : 0;
    if (seconds < 60) return "less than a minute";
    const std::int64_t minutes = seconds / 60, hours = minutes / 60, days = hours / 24;
    if (days > 0) return std::to_string(days) + " d " + std::to_string(hours % 24) + " h";
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
    return std::to_string(minutes) + " min";
}

std::shared_ptr<AddressHistory> OpenAddressHistory(const std::string& startDirectory,
                                                   const std::function<void(StatusMessage)>& post) {
    auto history = std::make_shared<AddressHistory>(
        startDirectory.empty() ? std::string(kHistoryFileName) : startDirectory + "/" + kHistoryFileName);
    std::string error;
    if (!history->Load(error) && post) post(Message<Msg::HistoryProblem>(error));
    return history;
}

void AddHistoryValues(PageValues& values, const RefreshSnapshot& snapshot, bool html) {
    for (auto& [name, value] : HistoryValues(snapshot.history, snapshot, html)) values.braceValues[name] = value;
}

RefreshObserver MakeHistoryObserver(std::shared_ptr<AddressHistory> history,
                                    std::function<void(StatusMessage)> post) {
    return [history = std::move(history), post = std::move(post)](const RefreshSnapshot& snapshot,
                                                                   const std::vector<ChannelOutcome>&) {
        const std::optional<AddressChange> change = ChangeIn(snapshot);
        if (!change) return;
        std::string error;
        if (!history->Add(*change, error)) post(Message<Msg::HistoryNotSaved>(error));
    };
}

}  // namespace zelmar
