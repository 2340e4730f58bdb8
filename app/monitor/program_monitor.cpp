#include "app/monitor/program_monitor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <utility>

#include "app/core/core.h"
#include "app/core/messages.h"
#include "app/core/ini_file.h"
#include "app/core/settings.h"

namespace zelmar {

namespace {

std::mutex gDesktopMutex;
std::shared_ptr<DesktopWindows> gDesktop;

}  // namespace

bool StartProgramMonitor(bool headless) {
    const std::shared_ptr<DesktopWindows> desktop = MonitorDesktop();
    if (desktop->Available()) return true;
    if (headless)
        std::fprintf(stderr, "%s\n", Text<Msg::ProgramsUnwatched>(desktop->Problem()).c_str());
    return false;
}

std::shared_ptr<DesktopWindows> MonitorDesktop() {
    std::lock_guard<std::mutex> lock(gDesktopMutex);
    if (!gDesktop) gDesktop = OpenX11DesktopWindows();
    return gDesktop;
}

void SetMonitorDesktop(std::shared_ptr<DesktopWindows> desktop) {
    std::lock_guard<std::mutex> lock(gDesktopMutex);
    gDesktop = std::move(desktop);
}

IndicatorWords SplitIndicatorPair(const std::string& pair) {
    const std::size_t slash = pair.find('/');
    if (slash == std::string::npos) return {std::string(), pair};
    return {pair.substr(0, slash), pair.substr(slash + 1)};
}

std::vector<std::string> ReadProgramTitles(const IniFile& ini, std::size_t bufferBytes) {
    std::vector<std::string> titles;
    // Room for the final terminator; each entry takes its length plus one.
    std::size_t used = 1;
    for (const std::string& entry : ini.GetSectionLines(kProcessesSection)) {
        // A line that does not fit whole is not read at all: a cut title
        // would name a window that does not exist.
        if (used + entry.size() + 1 > bufferBytes) break;
        used += entry.size() + 1;
        const std::size_t eq = entry.find('=');
        titles.push_back(eq == std::string::npos ? entry : entry.substr(eq + 1));
    }
    return titles;
}

bool IsProgramWindowPresent(const std::string& title) {
    if (title.empty()) return false;
    return MonitorDesktop()->FindByTitle(title);
}

bool CheckProgramStatuses(Core& core) {
    const IndicatorWords words = SplitIndicatorPair(core.settings().StatusIndicators);
    const std::vector<std::string> titles = ReadProgramTitles(core.ini(), kCheckSectionBytes);

    std::vector<ProgramStatusEntry> table;
    std::vector<std::pair<std::string, std::string>> stored;
    bool changed = false;
    for (std::size_t n = 0; n < titles.size(); ++n) {
        const std::string& title = titles[n];
        if (title.empty()) continue;
        const std::string key = kProcessStatusKey + std::to_string(n);
        const std::string word = IsProgramWindowPresent(title) ? words.on : words.off;
        table.push_back({static_cast<int>(n), "%P" + std::to_string(n), title, word});
        stored.emplace_back(key, word);

        // The stored word is upper-cased and the new one is not: a pair with
        // lower-case letters therefore reports a change at every check. The
        // comparison runs over the stored word's length only (it was cut to
        // ten characters), and a new word that ends sooner differs.
        const std::string last =
            UpperAscii(core.ini().GetString(kProcessStatusesSection, key, "", kMaxStoredWordChars));
        if (!last.empty() && word.compare(0, last.size(), last) != 0) changed = true;
    }
    core.setProgramTable(std::move(table));

    // The stored words are the ones just found, not looked up a second time:
    // a window that opened or closed in between would otherwise leave a word
    // on file that no check reported, and the next check would miss the
    // change.
    bool written = core.ini().DeleteSection(kProcessStatusesSection);
    if (written && !stored.empty()) written = core.ini().WriteSection(kProcessStatusesSection, stored);
    if (!written)
        core.PostStatusMessage(Message(Msg::ProgramStatusesNotSaved, {core.ini().path(), std::strerror(errno)}));
    return changed;
}

std::string GetProgramStatusWord(Core& core, const std::string& tag) {
    const IndicatorWords words = SplitIndicatorPair(core.settings().StatusIndicators);
    for (const ProgramStatusEntry& e : core.programTable()) {
        if (e.tag == tag) return IsProgramWindowPresent(e.windowTitle) ? words.on : words.off;
    }
    return words.off;
}

std::vector<ProgramStatusEntry> CurrentProgramWords(Core& core) {
    std::vector<ProgramStatusEntry> words = core.programTable();
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i].index = static_cast<int>(i);
        words[i].tag = "%P" + std::to_string(i);
        words[i].statusWord = GetProgramStatusWord(core, words[i].tag);
    }
    return words;
}

std::vector<ProgramPageRow> ProgramPageRows(Core& core) {
    const IndicatorWords words = SplitIndicatorPair(core.settings().StatusIndicators);
    const std::vector<ProgramStatusEntry> table = core.programTable();
    std::vector<std::string> titles = ReadProgramTitles(core.ini(), kPageSectionBytes);
    if (titles.size() > kMaxPageRows) titles.resize(kMaxPageRows);

    std::vector<ProgramPageRow> rows;
    std::vector<std::pair<std::string, std::string>> stored;
    for (std::size_t n = 0; n < titles.size(); ++n) {
        bool on = false;
        for (const ProgramStatusEntry& e : table)
            if (e.windowTitle == titles[n] && e.statusWord == words.on) on = true;
        rows.push_back({"%P" + std::to_string(n), titles[n], on ? words.on : words.off});
        stored.emplace_back(kProcessStatusKey + std::to_string(n), rows.back().status);
    }
    if (!stored.empty() && !core.ini().WriteSection(kProcessStatusesSection, stored))
        core.PostStatusMessage(Message(Msg::ProgramStatusesNotSaved, {core.ini().path(), std::strerror(errno)}));
    return rows;
}

}  // namespace zelmar
