// Fuzz target for the settings file reader: any bytes must parse, render
// back to the very same bytes, and take the edits the program makes (a key,
// a whole section, a deleted section) without disturbing the rest. Built for
// libFuzzer under Clang; elsewhere a small driver replays seeds and random
// mutations.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/core/ini_file.h"

using zelmar::IniDocument;
using zelmar::IniEntries;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const IniDocument original = IniDocument::Parse(in);
    // Nothing the program does not write is changed by reading it.
    if (original.Render() != in) std::abort();

    const IniEntries others = original.Section("LocalSettings");

    IniDocument doc = original;
    doc.Set("FuzzSection", "FuzzKey", "value with  blanks");
    if (doc.Find("FuzzSection", "fuzzkey") != "value with  blanks") std::abort();
    // What was written survives the trip through the file.
    const IniDocument reread = IniDocument::Parse(doc.Render());
    if (reread.Find("FuzzSection", "FuzzKey") != "value with  blanks") std::abort();
    if (reread.Section("LocalSettings") != others) std::abort();

    // A value can never open a line or a section of its own.
    doc.Set("FuzzSection", "Injected", "x\r\n[LocalSettings]\rFTPServer=evil\n");
    if (IniDocument::Parse(doc.Render()).Section("LocalSettings") != others) std::abort();

    const IniEntries entries = {{"ProcessStatus0", "TRUE"}, {"ProcessStatus1", "two words"}};
    doc.ReplaceSection("ProcessStatuses", entries);
    if (IniDocument::Parse(doc.Render()).Section("processstatuses") != entries) std::abort();

    doc.RemoveSection("FuzzSection");
    if (doc.Find("FuzzSection", "FuzzKey")) std::abort();
    doc.Set("FuzzSection", "FuzzKey", std::nullopt);
    (void)doc.Render();
    return 0;
}

#ifndef ZELMAR_LIBFUZZER
#include "tests/support/fuzz_replay.h"

// Replays seeds and random mutations of them when libFuzzer is not there.
int main(int argc, char** argv) {
    zelmar::test::FuzzReplay replay;
    replay.seeds = {
        "[LocalSettings]\nFTPServer=ftp.example.org\nSiteName=My FTP Site\n[Preferences]\nTimeout=15\n",
        "\xEF\xBB\xBF[LocalSettings]\r\nFTPServer=x\r\n\r\n[Processes]\r\nProcessName0=Editor\r\n",
        "[LocalSettings]\rFTPServer=mac\r[Preferences]\rIsLogging=1\r",
        "; comment\n[ localsettings ]\n  key = 'quoted' \n=\n[\n]\n[FuzzSection\nFuzzKey\n",
        "[ProcessStatuses]\nProcessStatus0=ON\n\n\n[ProcessStatuses]\nProcessStatus9=OFF",
        "\n\r\n\r\r\n\n[]\x00=\xFF\n"};
    replay.pieces = "[]=;\r\n \t\"'";
    replay.rngSeed = 2026;
    return zelmar::test::ReplayMutatedSeeds(argc, argv, replay);
}
#endif
