// The address history: the last 50 changes of the machine's addresses (when,
// and each family's address before and after), kept in "ZelmarHistory.json"
// beside "Zelmar.ini" so that pages, mails and the Status page can say what
// the address was before and since when it is what it is.
//
// The file is read at start and replaced whole (atomically) after each
// change, so a crash leaves the old list or the new one. A file that cannot
// be read or parsed is reported once and then replaced by the next change;
// nothing else in it is relied upon.
//
// One history is shared by the refresh worker (which records) and the window
// (which shows it): every member takes the history's own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/page/status_page.h"
#include "app/refresh/delivery_channel.h"

namespace zelmar {

inline constexpr std::size_t kMaxHistoryEntries = 50;
inline constexpr const char* kHistoryFileName = "ZelmarHistory.json";

struct AddressChange {
    std::int64_t time = 0;  // seconds since the epoch
    AddressSet before;
    AddressSet after;
    friend bool operator==(const AddressChange&, const AddressChange&) = default;
};

// The change a snapshot makes, when it makes one: the WAN or LAN address of
// either family differs from the previous refresh's. The first refresh after
// a first start (nothing known before) is no change.
std::optional<AddressChange> ChangeIn(const RefreshSnapshot& snapshot);

class AddressHistory {
public:
    explicit AddressHistory(std::string path) : path_(std::move(path)) {}

    // Reads the file; a missing file is an empty history. False (error says
    // why) when it exists but cannot be used; the history is then empty.
    bool Load(std::string& error);
    // Adds the change (dropping the oldest beyond 50) and writes the file.
    // False with error when the file could not be written; the change is
    // kept in memory either way.
    bool Add(const AddressChange& change, std::string& error);

    // Oldest first.
    std::vector<AddressChange> Entries() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    mutable std::mutex lock_;
    std::vector<AddressChange> entries_;
};

// "MM/DD/YYYY HH:MM:SS" in local time, the page's date and 24-hour forms.
std::string HistoryTimeText(std::int64_t time);

// The "%{...}" values the history gives for one snapshot: "old_wan",
// "old_lan", "old_wan6" (the address before the last change of that family,
// empty when never changed), "changed_at" (the last WAN change) and
// "history" (newest first; HTML table rows for a page, text lines for a
// mail). A change the snapshot makes counts already, although the history
// records it only after the refresh.
std::map<std::string, std::string, std::less<>> HistoryValues(const std::vector<AddressChange>& entries,
                                                              const RefreshSnapshot& snapshot, bool html);

// The Status page's view of the history: one row per change, newest first,
// with the time and each family's "old → new" (or the address alone when it
// stayed), and how long ago the last change was ("3 d 4 h", "5 min",
// "less than a minute"; empty without any change).
struct HistoryRow {
    std::string time, wan, lan, wan6, lan6;
};
std::vector<HistoryRow> HistoryRows(const std::vector<AddressChange>& entries);
std::string TimeSinceLastChange(const std::vector<AddressChange>& entries, std::int64_t now);

// The history beside the settings in startDirectory, read now; a file that
// cannot be used is reported through post (once, here).
std::shared_ptr<AddressHistory> OpenAddressHistory(const std::string& startDirectory,
                                                   const std::function<void(StatusMessage)>& post);

// HistoryValues of the history as it stands at each call, for a webhook
// (text lines) or a page (html).
std::function<std::map<std::string, std::string, std::less<>>(const RefreshSnapshot&)> HistoryValueSource(
    std::shared_ptr<const AddressHistory> history, bool html);

// Adds HistoryValues of the history file in startDirectory to a page's or a
// mail's values (read afresh: the file is small and replaced atomically).
void AddHistoryValues(PageValues& values, const std::string& startDirectory, const RefreshSnapshot& snapshot,
                      bool html);

// The observer that records each change, reporting a failed write through
// post.
RefreshObserver MakeHistoryObserver(std::shared_ptr<AddressHistory> history,
                                    std::function<void(StatusMessage)> post);

}  // namespace zelmar
