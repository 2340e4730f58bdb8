#include "app/monitor/add_remove_programs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "app/core/core.h"
#include "app/core/messages.h"
#include "app/core/ini_file.h"
#include "app/core/settings.h"
#include "app/monitor/program_monitor.h"

namespace zelmar {

namespace {

constexpr const char* kIndicatorsSection = "StatusIndicators";

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    const std::string t = FoldTitleCase(text), p = FoldTitleCase(prefix);
    return t.compare(0, p.size(), p) == 0;
}

}  // namespace

const std::vector<std::string>& BuiltInIndicatorPairs() {
    static const std::vector<std::string> pairs = {
        "TRUE/FALSE", "ON/OFF", "RUNNING/NOT RUNNING", "ACTIVE/INACTIVE", "OPENED/CLOSED", "POSITIVE/NEGATIVE",
    };
    return pairs;
}

bool IsCandidateWindow(const TopLevelWindow& w) {
    return w.visible && ((!w.hasOwner && !w.toolWindow) || w.appWindow);
}

std::vector<std::string> CandidateWindowTitles(DesktopWindows& desktop) {
    std::vector<std::string> titles;
    std::set<std::string> seen;
    for (const TopLevelWindow& w : desktop.TopLevelWindows()) {
        if (titles.size() >= kMaxOfferedWindows) break;
        if (!IsCandidateWindow(w)) continue;
        std::string title = CutToCharacters(w.title, kMaxOfferedTitleChars);
        // An untitled window cannot be found by its title, and two windows
        // with one title are one program to watch.
        if (title.empty() || !seen.insert(title).second) continue;
        titles.push_back(std::move(title));
    }
    return titles;
}

std::vector<std::string> FilterUnmonitored(const std::vector<std::string>& candidates,
                                           const std::vector<std::string>& monitored) {
    std::vector<std::string> out;
    for (const std::string& c : candidates) {
        const bool watched = std::any_of(monitored.begin(), monitored.end(),
                                         [&](const std::string& m) { return StartsWithNoCase(m, c); });
        if (!watched) out.push_back(c);
    }
    return out;
}

void SortTitles(std::vector<std::string>& titles) {
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(titles.size());
    for (std::string& t : titles) keyed.emplace_back(FoldTitleCase(t), std::move(t));
    std::sort(keyed.begin(), keyed.end());
    titles.clear();
    for (auto& [key, t] : keyed) titles.push_back(std::move(t));
}

std::vector<std::string> IndicatorPairChoices(const IniFile& ini) {
    std::vector<std::string> pairs = BuiltInIndicatorPairs();
    for (const auto& [key, value] : ini.GetSection(kIndicatorsSection)) {
        if (value.empty()) continue;
        const bool listed = std::any_of(pairs.begin(), pairs.end(),
                                        [&](const std::string& p) { return TitlesEqualNoCase(p, value); });
        if (!listed) pairs.push_back(value);
    }
    SortTitles(pairs);
    return pairs;
}

bool SaveMonitoredPrograms(Core& core, const std::vector<std::string>& monitored, const std::string& pair) {
    std::vector<std::pair<std::string, std::string>> entries;
    for (std::size_t i = 0; i < monitored.size(); ++i)
        entries.emplace_back(kProcessNameKey + std::to_string(i), monitored[i]);
    bool ok = core.ini().DeleteSection(kProcessesSection);
    if (ok && !entries.empty()) ok = core.ini().WriteSection(kProcessesSection, entries);
    if (ok) ok = core.ini().WriteString(kLocalSettings, "StatusIndicators", pair);
    const int saved = errno;
    core.EditSettings([&](Settings& s) { s.StatusIndicators = pair; });
    if (!ok)
        core.PostStatusMessage(Message(Msg::WatchedProgramsNotSaved, {core.ini().path(), std::strerror(saved)}));
    return ok;
}

AddRemoveProgramsModel::AddRemoveProgramsModel(Core& core, DesktopWindows& desktop) : core_(core) {
    for (std::string& title : ReadProgramTitles(core.ini(), kDialogSectionBytes))
        if (!title.empty()) monitored_.push_back(std::move(title));
    SortTitles(monitored_);
    unmonitored_ = FilterUnmonitored(CandidateWindowTitles(desktop), monitored_);
    SortTitles(unmonitored_);

    pairs_ = IndicatorPairChoices(core.ini());
    const std::string current = core.settings().StatusIndicators;
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        if (TitlesEqualNoCase(pairs_[i], current)) {
            selectedPair_ = static_cast<int>(i);
            break;
        }
    }
}

void AddRemoveProgramsModel::Move(std::vector<std::string>& from, std::vector<std::string>& to,
                                  const std::vector<std::size_t>& rows) {
    std::vector<bool> picked(from.size(), false);
    for (std::size_t r : rows)
        if (r < from.size()) picked[r] = true;
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < from.size(); ++i) (picked[i] ? to : kept).push_back(std::move(from[i]));
    from = std::move(kept);
    SortTitles(to);
}

void AddRemoveProgramsModel::MoveToMonitored(const std::vector<std::size_t>& rows) {
    Move(unmonitored_, monitored_, rows);
}

void AddRemoveProgramsModel::MoveAllToMonitored() {
    std::vector<std::size_t> all(unmonitored_.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    Move(unmonitored_, monitored_, all);
}

void AddRemoveProgramsModel::MoveToUnmonitored(const std::vector<std::size_t>& rows) {
    Move(monitored_, unmonitored_, rows);
}

void AddRemoveProgramsModel::MoveAllToUnmonitored() {
    std::vector<std::size_t> all(monitored_.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    Move(monitored_, unmonitored_, all);
}

void AddRemoveProgramsModel::ChoosePair(std::size_t row) {
    if (row >= pairs_.size()) return;
    selectedPair_ = static_cast<int>(row);
    const std::string pair = pairs_[row];
    core_.EditSettings([&](Settings& s) { s.StatusIndicators = pair; });
}

bool AddRemoveProgramsModel::Ok() { return SaveMonitoredPrograms(core_, monitored_, core_.settings().StatusIndicators); }

}  // namespace zelmar
