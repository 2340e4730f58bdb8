// The program monitor's rules against a scripted desktop: status words, the
// change detection, tags of "Processes" lines, the section limit, a desktop
// without a display, and the Add/Remove Programs model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "app/core/core.h"
#include "app/monitor/add_remove_programs.h"
#include "app/monitor/program_monitor.h"
#include "tests/monitor/scripted_desktop.h"
#include "tests/support/core_fixture.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::CoreTest;
using zelmar::test::FakeHost;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::ScriptedDesktop;
using zelmar::test::WriteFile;

namespace {

class Monitor : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        SetMonitorDesktop(desktop);
    }
    void TearDown() override {
        SetMonitorDesktop(nullptr);
        CoreTest::TearDown();
    }

    // A settings file with the given pair and the extra sections.
    void Start(const std::string& pair, const std::string& sections) {
        MakeCore("[LocalSettings]\nStatusIndicators=" + pair + "\n" + sections);
        core->LoadOrCreateSettings();
    }
    std::string Stored(int n) { return core->ini().GetString("ProcessStatuses", "ProcessStatus" + std::to_string(n), "<none>"); }

    std::shared_ptr<ScriptedDesktop> desktop = std::make_shared<ScriptedDesktop>();
};

TEST_F(Monitor, CheckBuildsTheTableAndStoresTheWords) {
    Start("RUNNING/NOT RUNNING", "[Processes]\nProcessName0=Mail Client\nProcessName1=Editor\n");
    desktop->Open("MAIL CLIENT");
    desktop->Open("Editor - notes.txt");  // not the whole title
    const bool firstChanged = CheckProgramStatuses(*core);

    const auto table = core->programTable();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].index, 0);
    EXPECT_EQ(table[0].tag, "%P0");
    EXPECT_EQ(table[0].windowTitle, "Mail Client");
    EXPECT_EQ(table[0].statusWord, "RUNNING");
    EXPECT_EQ(table[1].tag, "%P1");
    EXPECT_EQ(table[1].statusWord, "NOT RUNNING");
    EXPECT_EQ(Stored(0), "RUNNING");
    EXPECT_EQ(Stored(1), "NOT RUNNING");
    EXPECT_FALSE(firstChanged);  // nothing stored before

    // The word for a tag looks at the windows now, not at the table.
    EXPECT_EQ(GetProgramStatusWord(*core, "%P0"), "RUNNING");
    desktop->Close("MAIL CLIENT");
    EXPECT_EQ(GetProgramStatusWord(*core, "%P0"), "NOT RUNNING");
    EXPECT_EQ(GetProgramStatusWord(*core, "%P1"), "NOT RUNNING");
    EXPECT_EQ(GetProgramStatusWord(*core, "%P9"), "NOT RUNNING");
    EXPECT_EQ(GetProgramStatusWord(*core, "%p0"), "NOT RUNNING");  // tags compare exactly

    EXPECT_TRUE(CheckProgramStatuses(*core));
    EXPECT_EQ(Stored(0), "NOT RUNNING");
}

TEST_F(Monitor, StoredWordIsComparedOverItsOwnLengthAfterUpperCasing) {
    struct Row {
        std::string pair;
        std::optional<std::string> stored;  // nullopt: no entry
        bool open;
        bool changed;
    };
    const Row rows[] = {
        {"RUNNING/NOT RUNNING", "RUNNING", false, true},
        {"RUNNING/NOT RUNNING", "NOT RUNNING", false, false},
        {"RUNNING/NOT RUNNING", "not running", false, false},  // upper-cased, cut to "NOT RUNNIN"
        {"RUNNING/NOT RUNNING", "NOT RUNNING", true, true},
        {"ON/OFF", "OFF", true, true},
        {"ON/OFF", "ON", false, true},
        {"ON/OFF", "O", true, false},   // only the stored word's length counts
        {"ON/OFF", "ONX", true, true},  // the new word's end is a difference
        {"ON/OFF", "", true, false},
        {"ON/OFF", std::nullopt, false, false},
        {"TRUE/FALSE", "true", true, false},
        {"Up/Down", "Up", true, true},  // the new word keeps its lower case
        {"NOSLASH", "NOSLASH", false, false},
        {"NOSLASH", "NOSLASH", true, true},  // the "on" word is empty
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.pair + " stored " + r.stored.value_or("<none>") + (r.open ? " open" : " closed"));
        std::string sections = "[Processes]\nProcessName0=Prog\n";
        if (r.stored) sections += "[ProcessStatuses]\nProcessStatus0=" + *r.stored + "\n";
        Start(r.pair, sections);
        desktop->windows.clear();
        if (r.open) desktop->Open("Prog");
        EXPECT_EQ(CheckProgramStatuses(*core), r.changed);
    }
}

TEST_F(Monitor, LowerCasePairReportsAChangeAtEveryCheck) {
    Start("Up/Down", "[Processes]\nProcessName0=Server\n");
    desktop->Open("Server");
    EXPECT_FALSE(CheckProgramStatuses(*core));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(CheckProgramStatuses(*core));
}

TEST_F(Monitor, EveryLineCountsForTheTagsButOnlyTitledLinesAreChecked) {
    Start("ON/OFF",
          "[Processes]\nProcessName0=\nProcessName1=Beta\n; a comment is no line\n\nGamma\n"
          "ProcessName3 = Title = with equals \n"
          "[ProcessStatuses]\nProcessStatus0=OFF\nProcessStatus9=ON\n");
    desktop->Open("Gamma");
    desktop->Open("Title = with equals");
    CheckProgramStatuses(*core);
    const auto table = core->programTable();
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].tag, "%P1");
    EXPECT_EQ(table[0].statusWord, "OFF");
    EXPECT_EQ(table[1].tag, "%P2");  // the line without "=" is the title
    EXPECT_EQ(table[1].windowTitle, "Gamma");
    EXPECT_EQ(table[1].statusWord, "ON");
    EXPECT_EQ(table[2].tag, "%P3");
    EXPECT_EQ(table[2].statusWord, "ON");
    // The section is rewritten: only titled lines, stale entries gone.
    const auto stored = core->ini().GetSection("ProcessStatuses");
    const std::vector<std::pair<std::string, std::string>> want{
        {"ProcessStatus1", "OFF"}, {"ProcessStatus2", "ON"}, {"ProcessStatus3", "ON"}};
    EXPECT_EQ(stored, want);
}

TEST_F(Monitor, CheckReadsOnlyTheLinesThatFitInThreeThousandBytes) {
    // Entries of exactly 50 bytes take 51 with their terminator; after the
    // final terminator's byte, 58 of them fit in 3,000 bytes.
    std::string sections = "[Processes]\n";
    for (int n = 0; n < 100; ++n) {
        const std::string key = "ProcessName" + std::to_string(n) + "=";
        sections += key + "P" + std::to_string(n) + std::string(50 - key.size() - 1 - std::to_string(n).size(), 'x') + "\n";
    }
    Start("ON/OFF", sections);
    const auto titles = ReadProgramTitles(core->ini(), kCheckSectionBytes);
    ASSERT_EQ(titles.size(), 58u);
    desktop->Open(titles[57]);
    CheckProgramStatuses(*core);
    const auto table = core->programTable();
    ASSERT_EQ(table.size(), 58u);
    EXPECT_EQ(table.back().tag, "%P57");
    EXPECT_EQ(table.back().statusWord, "ON");
    EXPECT_EQ(Stored(58), "<none>");
    EXPECT_EQ(GetProgramStatusWord(*core, "%P70"), "OFF");
    // The dialog reads much further.
    EXPECT_EQ(ReadProgramTitles(core->ini(), kDialogSectionBytes).size(), 100u);
}

TEST_F(Monitor, LineThatExactlyFillsTheCheckBufferIsKept) {
    // 58 entries of 50 bytes take 1 + 58 * 51 = 2,959 bytes; a last entry of
    // 40 bytes plus its terminator fills the 3,000 exactly and is checked,
    // one of 41 bytes is not.
    for (std::size_t lastLength : {40u, 41u}) {
        SCOPED_TRACE(lastLength);
        std::string sections = "[Processes]\n";
        for (int n = 0; n < 58; ++n) {
            const std::string key = "ProcessName" + std::to_string(n) + "=";
            sections += key + std::string(50 - key.size(), 'a' + n % 26) + "\n";
        }
        const std::string lastKey = "ProcessName58=";
        const std::string lastTitle = "Last" + std::string(lastLength - lastKey.size() - 4, 'z');
        sections += lastKey + lastTitle + "\n";
        Start("ON/OFF", sections);
        const auto titles = ReadProgramTitles(core->ini(), kCheckSectionBytes);
        if (lastLength == 40) {
            ASSERT_EQ(titles.size(), 59u);
            EXPECT_EQ(titles.back(), lastTitle);
            desktop->Open(lastTitle);
            CheckProgramStatuses(*core);
            EXPECT_EQ(core->programTable().back().tag, "%P58");
            EXPECT_EQ(Stored(58), "ON");
        } else {
            EXPECT_EQ(titles.size(), 58u);
        }
    }
}

TEST_F(Monitor, WithoutADisplayEveryProgramIsOffAndStartUpSaysSoOnce) {
    const char* saved = std::getenv("DISPLAY");
    const std::string savedDisplay = saved ? saved : "";
    ::unsetenv("DISPLAY");
    SetMonitorDesktop(nullptr);  // the next look opens the desktop from DISPLAY
    testing::internal::CaptureStderr();
    EXPECT_FALSE(StartProgramMonitor(true));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("DISPLAY"), std::string::npos) << err;

    testing::internal::CaptureStderr();
    EXPECT_FALSE(StartProgramMonitor(false));  // with a window front end: quiet
    Start("ON/OFF", "[Processes]\nProcessName0=Anything\n[ProcessStatuses]\nProcessStatus0=ON\n");
    const bool changed = CheckProgramStatuses(*core);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(core->programTable().at(0).statusWord, "OFF");
    EXPECT_TRUE(changed);
    EXPECT_EQ(GetProgramStatusWord(*core, "%P0"), "OFF");

    // A display that cannot be opened is the same.
    auto unreachable = OpenX11DesktopWindows(":65534");
    EXPECT_FALSE(unreachable->Available());
    EXPECT_NE(unreachable->Problem().find(":65534"), std::string::npos);
    EXPECT_TRUE(unreachable->TopLevelWindows().empty());
    EXPECT_FALSE(unreachable->FindByTitle("Anything"));
    if (saved) ::setenv("DISPLAY", savedDisplay.c_str(), 1);
}

TEST(TitleText, CaseFoldingAndCutting) {
    EXPECT_TRUE(TitlesEqualNoCase("Éditeur ÄÖÜ Ωmega Привет", "éDITEUR äöü ωMEGA пРИВЕТ"));
    EXPECT_FALSE(TitlesEqualNoCase("Editor", "Éditor"));
    EXPECT_FALSE(TitlesEqualNoCase("Editor", "Editor "));
    EXPECT_TRUE(TitlesEqualNoCase("bad \xff\xfe bytes", "BAD \xff\xfe BYTES"));
    EXPECT_EQ(CutToCharacters("abcdef", 4), "abcd");
    EXPECT_EQ(CutToCharacters("éééé", 3), "ééé");  // 6 bytes, never half a character
    EXPECT_EQ(CutToCharacters("ab", 59), "ab");
}

TEST(IndicatorPair, SplitsAtTheFirstSlash) {
    struct Row {
        std::string pair, on, off;
    } rows[] = {{"RUNNING/NOT RUNNING", "RUNNING", "NOT RUNNING"},
                {"A/B/C", "A", "B/C"},
                {"ALONE", "", "ALONE"},
                {"/OFF", "", "OFF"},
                {"ON/", "ON", ""}};
    for (const Row& r : rows) {
        const IndicatorWords w = SplitIndicatorPair(r.pair);
        EXPECT_EQ(w.on, r.on) << r.pair;
        EXPECT_EQ(w.off, r.off) << r.pair;
    }
}

TEST(AddRemovePrograms, CandidateFilter) {
    struct Row {
        TopLevelWindow w;
        bool candidate;
    } rows[] = {
        {{"main", true, false, false, false}, true},
        {{"hidden", false, false, false, false}, false},
        {{"owned", true, true, false, false}, false},
        {{"tool", true, false, true, false}, false},
        {{"owned app", true, true, false, true}, true},
        {{"tool app", true, false, true, true}, true},
        {{"hidden app", false, true, true, true}, false},
    };
    for (const Row& r : rows) EXPECT_EQ(IsCandidateWindow(r.w), r.candidate) << r.w.title;
}

TEST_F(Monitor, DialogOffersOpenWindowsNotYetWatched) {
    Start("RUNNING/NOT RUNNING",
          "[Processes]\nProcessName0=Notepad - notes.txt\nProcessName1=\nProcessName2=calculator\n");
    for (const char* t : {"Notepad", "NOTEPAD - NOTES", "Calculator", "Terminal", "", "Terminal", "Browser"})
        desktop->Open(t);
    desktop->Open(std::string(70, 'x'));
    desktop->Open(std::string(60, 'x'));  // the same after the cut
    desktop->windows.push_back({"Palette", true, false, true, false});

    const AddRemoveProgramsModel dlg(*core, *desktop);
    EXPECT_EQ(dlg.monitored(), (std::vector<std::string>{"calculator", "Notepad - notes.txt"}));
    // "Notepad" and "NOTEPAD - NOTES" begin "Notepad - notes.txt"; "Calculator"
    // begins "calculator"; untitled, repeated and tool windows are left out.
    EXPECT_EQ(dlg.unmonitored(), (std::vector<std::string>{"Browser", "Terminal", std::string(59, 'x')}));
}

TEST_F(Monitor, DialogMovesKeepBothListsSortedAndOkWritesThem) {
    Start("ON/OFF", "[Processes]\nProcessName0=zeta\n[ProcessStatuses]\nProcessStatus0=ON\nProcessStatus1=OFF\n");
    for (const char* t : {"beta", "Alpha", "gamma"}) desktop->Open(t);
    desktop->Open("zeta");
    AddRemoveProgramsModel dlg(*core, *desktop);
    EXPECT_EQ(dlg.unmonitored(), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_TRUE(dlg.CanMoveToMonitored());
    EXPECT_TRUE(dlg.CanMoveToUnmonitored());

    dlg.MoveToMonitored({2, 0, 7});  // out-of-range rows are ignored
    EXPECT_EQ(dlg.monitored(), (std::vector<std::string>{"Alpha", "gamma", "zeta"}));
    EXPECT_EQ(dlg.unmonitored(), (std::vector<std::string>{"beta"}));
    dlg.MoveAllToMonitored();
    EXPECT_FALSE(dlg.CanMoveToMonitored());
    dlg.MoveAllToUnmonitored();
    EXPECT_FALSE(dlg.CanMoveToUnmonitored());
    dlg.MoveToMonitored({0, 3});
    dlg.MoveToUnmonitored({1});
    EXPECT_EQ(dlg.monitored(), (std::vector<std::string>{"Alpha"}));
    dlg.MoveToMonitored({2});  // zeta
    ASSERT_TRUE(dlg.Ok());

    const std::vector<std::pair<std::string, std::string>> want{{"ProcessName0", "Alpha"}, {"ProcessName1", "zeta"}};
    EXPECT_EQ(core->ini().GetSection("Processes"), want);
    EXPECT_EQ(core->ini().GetString("LocalSettings", "StatusIndicators"), "ON/OFF");

    // The stored words belong to positions: "zeta" moved from 0 to 1, where
    // "OFF" was stored, so the next check reports a change.
    EXPECT_TRUE(CheckProgramStatuses(*core));
    EXPECT_EQ(core->programTable().at(1).tag, "%P1");
}

TEST_F(Monitor, DialogPairsAndCancel) {
    Start("up/down",
          "[Processes]\nProcessName0=Editor\n"
          "[StatusIndicators]\n1=UP/DOWN\n2=on/off\nx=Green/Red\nnovalue=\n");
    const std::string before = ReadFile(dir / "Zelmar.ini");
    {
        AddRemoveProgramsModel dlg(*core, *desktop);
        const std::vector<std::string> want{"ACTIVE/INACTIVE", "Green/Red",         "ON/OFF",     "OPENED/CLOSED",
                                            "POSITIVE/NEGATIVE", "RUNNING/NOT RUNNING", "TRUE/FALSE", "UP/DOWN"};
        EXPECT_EQ(dlg.pairs(), want);
        EXPECT_EQ(dlg.selectedPair(), 7);  // the current pair, letter case aside
        dlg.ChoosePair(1);
        EXPECT_EQ(core->settings().StatusIndicators, "Green/Red");
        dlg.MoveAllToUnmonitored();
    }  // cancelled: nothing written
    EXPECT_EQ(ReadFile(dir / "Zelmar.ini"), before);
    EXPECT_EQ(core->settings().StatusIndicators, "Green/Red");  // stays current in memory

    AddRemoveProgramsModel dlg(*core, *desktop);
    dlg.MoveAllToUnmonitored();
    ASSERT_TRUE(dlg.Ok());
    EXPECT_TRUE(core->ini().GetSection("Processes").empty());
    EXPECT_EQ(core->ini().GetString("LocalSettings", "StatusIndicators"), "Green/Red");
}

}  // namespace

namespace {

TEST_F(Monitor, PageRowsShowTheTableAndStoreEveryRow) {
    Start("RUNNING/NOT RUNNING", "[Processes]\nProcessName0=Alpha\nProcessName1=\nProcessName2=Gamma\n");
    desktop->Open("Alpha");
    desktop->Open("Gamma");
    CheckProgramStatuses(*core);
    desktop->Close("Gamma");  // the page reads the table, not the windows

    const auto rows = ProgramPageRows(*core);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].tag, "%P0");
    EXPECT_EQ(rows[0].status, "RUNNING");
    EXPECT_EQ(rows[1].title, "");
    EXPECT_EQ(rows[1].status, "NOT RUNNING");
    EXPECT_EQ(rows[2].status, "RUNNING");
    EXPECT_EQ(Stored(1), "NOT RUNNING");  // unlike the check, the empty row is stored too
}

}  // namespace
