// The program monitor: which of the watched programs are running, the words
// that report them, and whether any of them changed since the last check.
//
// A watched program is named by the title of its main window, one line per
// program in the settings section "Processes"; the line's position n gives
// the program its tag "%P" + n. A program runs while a top-level window with
// exactly that title (letter case aside) exists. Its word is the "on" or the
// "off" half of the indicator pair "StatusIndicators" ("RUNNING/NOT
// RUNNING"). Each check stores the words in "ProcessStatuses"; a stored word
// that the new word does not begin with marks a change, which can trigger
// an upload and an e-mail.
//
// Threads: the check runs on the main loop; GetProgramStatusWord and
// IsProgramWindowPresent may also run on the publishing worker.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "app/core/shared_state.h"
#include "app/monitor/desktop_windows.h"

namespace zelmar {

class Core;
class IniFile;

inline constexpr const char* kProcessesSection = "Processes";
inline constexpr const char* kProcessStatusesSection = "ProcessStatuses";
inline constexpr const char* kProcessNameKey = "ProcessName";
inline constexpr const char* kProcessStatusKey = "ProcessStatus";

// How much of "Processes" each reader takes in (bytes, as the entries
// "key=value" would lie in a buffer, each with a terminator, plus a final
// one). Lines beyond the limit are not read.
inline constexpr std::size_t kCheckSectionBytes = 3000;
inline constexpr std::size_t kPageSectionBytes = 25501;
inline constexpr std::size_t kDialogSectionBytes = 80001;
// A stored status word is read back with at most this many characters.
inline constexpr std::size_t kMaxStoredWordChars = 10;

// --- the desktop the monitor looks at ---

// Opens the connection to the window system now, once for the life of the
// program. Without a display every program reads as not running; in headless
// mode that is said with one line on stderr. Returns true when windows can be
// seen. Calling it is optional: the first look at the desktop opens the
// connection quietly.
bool StartProgramMonitor(bool headless);

// The desktop in use (opened from DISPLAY on first use).
std::shared_ptr<DesktopWindows> MonitorDesktop();

// Replaces the desktop in use (a test's own display, or none).
void SetMonitorDesktop(std::shared_ptr<DesktopWindows> desktop);

// --- indicator words ---

struct IndicatorWords {
    std::string on;
    std::string off;
};

// "on/off" split at the first "/"; without "/" the "on" word is empty and the
// whole text is the "off" word.
IndicatorWords SplitIndicatorPair(const std::string& pair);

// --- the watched programs ---

// The titles of the "Processes" lines in section order, one per line, empty
// ones included so that positions are tags: the text after the line's first
// "=", or the whole line when it has none. Only whole lines that fit in
// bufferBytes are read.
std::vector<std::string> ReadProgramTitles(const IniFile& ini, std::size_t bufferBytes);

// True when a top-level window whose whole title equals title (letter case
// aside) exists now.
bool IsProgramWindowPresent(const std::string& title);

// Rebuilds the program status table from "Processes" and the windows open
// now and rewrites "ProcessStatuses"; true when a program's word changed.
// Main loop.
bool CheckProgramStatuses(Core& core);

// The word for a tag ("%P0", ...): the "on" word when the program of the
// first table row with exactly that tag has its window open now, else the
// "off" word; the "off" word too when no row has that tag.
std::string GetProgramStatusWord(Core& core, const std::string& tag);

// Every row of the program table with its word looked up now ("%P0",
// "%P1", ... in table order), as a page or mail made at this moment shows it.
std::vector<ProgramStatusEntry> CurrentProgramWords(Core& core);

// --- the "Program Monitor" page ---

// The page's list has room for this many rows.
inline constexpr std::size_t kMaxPageRows = 1000;

struct ProgramPageRow {
    std::string tag;    // "%P" + row
    std::string title;  // may be empty: every line of "Processes" is a row
    std::string status;
};

// The rows of the page in section order, their status taken from the table
// (no window is looked at): the "on" word when the table has an entry with
// the row's title whose word is the "on" word, else the "off" word. The shown
// words are stored in "ProcessStatuses" as "ProcessStatus" + row, as the
// page's one-second timer does.
std::vector<ProgramPageRow> ProgramPageRows(Core& core);

}  // namespace zelmar
