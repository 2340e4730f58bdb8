// The working part of the "Add/Remove Programs" dialog, without the window:
// which open windows it offers, the two lists and their moves, the indicator
// pairs, and what "OK" writes. The dialog window shows this model and passes
// the user's clicks to it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/monitor/desktop_windows.h"

namespace zelmar {

class Core;
class IniFile;

// Titles offered for open windows are cut to this many characters.
inline constexpr std::size_t kMaxOfferedTitleChars = 59;
// The dialog collects at most this many open windows.
inline constexpr std::size_t kMaxOfferedWindows = 1000;

// The pairs every user is offered.
const std::vector<std::string>& BuiltInIndicatorPairs();

// A window the user may pick as a program: visible, and either a main window
// (no owner, not a tool window) or one that asks to be treated as one.
bool IsCandidateWindow(const TopLevelWindow& window);

// Titles of the candidate windows, each cut to 59 characters, in the
// window system's order. Untitled windows are left out (nothing could find
// them by title), and so are repeated titles.
std::vector<std::string> CandidateWindowTitles(DesktopWindows& desktop);

// The candidates that are not yet watched: a candidate is left out when a
// monitored title begins with it, letter case aside ("Editor" is not offered
// while "Editor - notes.txt" is watched).
std::vector<std::string> FilterUnmonitored(const std::vector<std::string>& candidates,
                                           const std::vector<std::string>& monitored);

// Alphabetical order of a list, letter case aside.
void SortTitles(std::vector<std::string>& titles);

// The pairs of the drop-down: the built-in pairs and the values of the
// settings section "StatusIndicators" not already listed (letter case
// aside), sorted alphabetically.
std::vector<std::string> IndicatorPairChoices(const IniFile& ini);

// "OK": "Processes" holds exactly the given titles as "ProcessName" + i in
// the given order, and the pair is stored as "StatusIndicators" (in memory
// and in the file). Returns false when the settings file could not be
// written; a status line says so.
bool SaveMonitoredPrograms(Core& core, const std::vector<std::string>& monitored, const std::string& pair);

class AddRemoveProgramsModel {
public:
    // Opening the dialog: the watched titles from "Processes", the open
    // windows not yet watched, and the pairs with the current one chosen.
    AddRemoveProgramsModel(Core& core, DesktopWindows& desktop);

    const std::vector<std::string>& unmonitored() const { return unmonitored_; }
    const std::vector<std::string>& monitored() const { return monitored_; }

    // "->", "->>", "<-", "<<-"; selections are row numbers of the source list
    // (rows out of range are ignored). Both lists stay sorted.
    void MoveToMonitored(const std::vector<std::size_t>& rows);
    void MoveAllToMonitored();
    void MoveToUnmonitored(const std::vector<std::size_t>& rows);
    void MoveAllToUnmonitored();

    // Enabled states of the move buttons.
    bool CanMoveToMonitored() const { return !unmonitored_.empty(); }
    bool CanMoveToUnmonitored() const { return !monitored_.empty(); }

    const std::vector<std::string>& pairs() const { return pairs_; }
    // Row of the current pair in pairs(), or -1 when it is not listed.
    int selectedPair() const { return selectedPair_; }
    // Choosing a pair makes it the current one at once, in memory; it stays
    // so even when the dialog is cancelled.
    void ChoosePair(std::size_t row);

    // "OK". "Cancel" needs nothing: the model writes only here.
    bool Ok();

private:
    static void Move(std::vector<std::string>& from, std::vector<std::string>& to,
                     const std::vector<std::size_t>& rows);

    Core& core_;
    std::vector<std::string> unmonitored_;
    std::vector<std::string> monitored_;
    std::vector<std::string> pairs_;
    int selectedPair_ = -1;
};

}  // namespace zelmar
