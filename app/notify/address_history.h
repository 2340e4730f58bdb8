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

// The change a snapshot makes, when it makes one (ChangesBetween): a family's
// real address differs from the last real one. A failed lookup and the
// first address ever seen are no change.
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

// Adds HistoryValues of the history the snapshot carries to a page's, a
// mail's or a webhook's values.
void AddHistoryValues(PageValues& values, const RefreshSnapshot& snapshot, bool html);

// The observer that records each change (the file is written once per real
// change), reporting a failed write through post.
RefreshObserver MakeHistoryObserver(std::shared_ptr<AddressHistory> history,
                                    std::function<void(StatusMessage)> post);

}  // namespace zelmar
