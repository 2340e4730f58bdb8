#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>
#include <thread>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/core/ini_file.h"
#include "tests/support/peer_process.h"

using zelmar::IniFile;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;

namespace {

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCase) {
    ScratchDir dir;
    WriteFile(dir / "a.ini", "[Prefs]\nRefreshIntv = 15 \n[Other]\nrefreshintv=99\n");
    IniFile ini(dir / "a.ini");
    EXPECT_EQ(ini.GetString("PREFS", "refreshINTV"), "15");
    EXPECT_EQ(ini.GetString("other", "RefreshIntv"), "99");
    EXPECT_EQ(ini.GetString("prefs", "Missing", "dflt"), "dflt");
    EXPECT_EQ(ini.GetString("Nope", "RefreshIntv", "x"), "x");
    EXPECT_EQ(ini.GetInt("Prefs", "RefreshIntv", 0), 15);
    EXPECT_EQ(ini.GetInt("Prefs", "Missing", 7), 7);
}

TEST(IniFile, ReadsWindowsFilesWithCrLf) {
    ScratchDir dir;
    WriteFile(dir / "w.ini", "[LocalSettings]\r\nFTPServer=ftp.example.org\r\nPort=2121\r\n");
    IniFile ini(dir / "w.ini");
    EXPECT_EQ(ini.GetString("LocalSettings", "FTPServer"), "ftp.example.org");
    EXPECT_EQ(ini.GetString("LocalSettings", "Port"), "2121");
    // New lines follow the file's own line ends.
    ASSERT_TRUE(ini.WriteString("LocalSettings", "SiteName", "Mine"));
    ASSERT_TRUE(ini.WriteString("IPAddress", "LastLANIP", "10.0.0.2"));
    EXPECT_EQ(ReadFile(dir / "w.ini"),
              "[LocalSettings]\r\nFTPServer=ftp.example.org\r\nPort=2121\r\nSiteName=Mine\r\n"
              "[IPAddress]\r\nLastLANIP=10.0.0.2\r\n");
}

TEST(IniFile, WritesKeepEveryOtherByte) {
    ScratchDir dir;
    const std::string original =
        "; hand-written notes\n[LocalSettings]\nFTPServer=old\n  # odd line without equals\n"
        "Custom = keep me\n\n[Preferences]\nTimeout=15\n";
    WriteFile(dir / "k.ini", original);
    IniFile ini(dir / "k.ini");
    ASSERT_TRUE(ini.WriteString("localsettings", "ftpserver", "new.example"));
    EXPECT_EQ(ReadFile(dir / "k.ini"),
              "; hand-written notes\n[LocalSettings]\nFTPServer=new.example\n  # odd line without equals\n"
              "Custom = keep me\n\n[Preferences]\nTimeout=15\n");
    // A missing key goes after the section's last key, not after the blank line.
    ASSERT_TRUE(ini.WriteString("LocalSettings", "Port", "21"));
    EXPECT_NE(ReadFile(dir / "k.ini").find("Custom = keep me\nPort=21\n\n[Preferences]"), std::string::npos);
}

TEST(IniFile, DeletesKeysAndSections) {
    ScratchDir dir;
    WriteFile(dir / "d.ini", "[A]\nx=1\ny=2\n[B]\nz=3\n[C]\nw=4\n");
    IniFile ini(dir / "d.ini");
    ASSERT_TRUE(ini.WriteString("a", "X", std::nullopt));
    ASSERT_TRUE(ini.DeleteSection("b"));
    EXPECT_EQ(ReadFile(dir / "d.ini"), "[A]\ny=2\n[C]\nw=4\n");
    // Deleting what is not there changes nothing.
    ASSERT_TRUE(ini.WriteString("Nope", "k", std::nullopt));
    EXPECT_EQ(ReadFile(dir / "d.ini"), "[A]\ny=2\n[C]\nw=4\n");
}

TEST(IniFile, CutsLongValuesAndStripsQuotes) {
    ScratchDir dir;
    IniFile ini(dir / "l.ini");
    ASSERT_TRUE(ini.WriteString("S", "Long", std::string(300, 'v')));
    ASSERT_TRUE(ini.WriteString("S", "Quoted", "\"two words\""));
    EXPECT_EQ(ini.GetString("S", "Long").size(), 254u);
    EXPECT_EQ(ini.GetString("S", "Long", "", 20).size(), 20u);
    EXPECT_EQ(ini.GetString("S", "Quoted"), "two words");
    EXPECT_EQ(ini.GetString("S", "Missing", std::string(30, 'd'), 20), std::string(20, 'd'));
}

TEST(IniFile, CreatesPrivateFileAndKeepsExistingMode) {
    ScratchDir dir;
    IniFile ini(dir / "new.ini");
    ASSERT_TRUE(ini.WriteString("S", "k", "v"));
    struct stat st {};
    ASSERT_EQ(stat((dir / "new.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    chmod((dir / "new.ini").c_str(), 0640);
    ASSERT_TRUE(ini.WriteString("S", "k", "w"));
    ASSERT_EQ(stat((dir / "new.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(IniFile, InterruptedWriteNeverLeavesHalfAFile) {
    // A write that fails half-way (here: the disk quota of a tiny file-size
    // limit) must leave the old file as it was and no temp file behind.
    ScratchDir dir;
    WriteFile(dir / "f.ini", "[S]\nk=old\n");
    IniFile ini(dir / "f.ini");
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit lim {16, 16};
        setrlimit(RLIMIT_FSIZE, &lim);
        signal(SIGXFSZ, SIG_IGN);
        _exit(ini.WriteString("S", "k", std::string(200, 'n')) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(dir / "f.ini"), "[S]\nk=old\n");
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(IniFile, UnreadableFileIsNeverReplaced) {
    // A folder where the file should be: it opens but cannot be read.
    ScratchDir dir;
    mkdir((dir / "Zelmar.ini").c_str(), 0700);
    WriteFile(dir / "Zelmar.ini/keep", "x");
    IniFile ini(dir / "Zelmar.ini");
    EXPECT_TRUE(ini.Unreadable());
    EXPECT_NE(ini.readError(), 0);
    EXPECT_FALSE(ini.WriteString("S", "k", "v"));
    EXPECT_FALSE(ini.WriteSection("S", {{"k", "v"}}));
    EXPECT_FALSE(ini.DeleteSection("S"));
    EXPECT_EQ(ReadFile(dir / "Zelmar.ini/keep"), "x");
    EXPECT_FALSE(IniFile(dir / "missing.ini").Unreadable());
}

TEST(IniFile, LineBreaksInValuesCannotAddLines) {
    ScratchDir dir;
    IniFile ini(dir / "i.ini");
    ASSERT_TRUE(ini.WriteString("Processes", "ProcessName0", "x\n[LocalSettings]\r\nWANIPURL=http://evil/"));
    ASSERT_TRUE(ini.WriteSection("ProcessStatuses", {{"ProcessStatus0", "ON\nEnableFTP=1"}}));
    EXPECT_EQ(ReadFile(dir / "i.ini"),
              "[Processes]\nProcessName0=x [LocalSettings]  WANIPURL=http://evil/\n"
              "[ProcessStatuses]\nProcessStatus0=ON EnableFTP=1\n");
    EXPECT_EQ(ini.GetString("LocalSettings", "WANIPURL", "none"), "none");
}

TEST(IniFile, OnlyTheFirstSectionOfANameCounts) {
    ScratchDir dir;
    WriteFile(dir / "dup.ini", "[LocalSettings]\nFTPServer=a\n[Other]\n[localsettings]\nWANIPURL=http://later/\n");
    IniFile ini(dir / "dup.ini");
    EXPECT_EQ(ini.GetString("LocalSettings", "FTPServer"), "a");
    EXPECT_EQ(ini.GetString("LocalSettings", "WANIPURL", "none"), "none");
}

TEST(IniFile, WritersInTwoThreadsKeepEachOthersKeys) {
    ScratchDir dir;
    IniFile a(dir / "t.ini"), b(dir / "t.ini");
    std::thread t1([&] {
        for (int i = 0; i < 60; ++i) a.WriteString("IPAddress", "A" + std::to_string(i), "1");
    });
    std::thread t2([&] {
        for (int i = 0; i < 60; ++i) b.WriteString("ProcessStatuses", "B" + std::to_string(i), "2");
    });
    t1.join();
    t2.join();
    EXPECT_EQ(a.GetSection("IPAddress").size(), 60u);
    EXPECT_EQ(a.GetSection("ProcessStatuses").size(), 60u);
}

TEST(IniFile, SectionsReadAndReplacedWhole) {
    ScratchDir dir;
    WriteFile(dir / "s.ini", "[Processes]\nProcessName0=Editor\nProcessName1=Mail\n\n[Other]\na=1\n");
    IniFile ini(dir / "s.ini");
    auto entries = ini.GetSection("processes");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].first, "ProcessName1");
    EXPECT_EQ(entries[1].second, "Mail");
    ASSERT_TRUE(ini.WriteSection("Processes", {{"ProcessName0", "Shell"}}));
    EXPECT_EQ(ReadFile(dir / "s.ini"), "[Processes]\nProcessName0=Shell\n\n[Other]\na=1\n");
    ASSERT_TRUE(ini.WriteSection("New", {{"k", "v"}}));
    EXPECT_EQ(ini.GetString("New", "k"), "v");
}

TEST(IniFile, SectionLinesKeepLinesWithoutEqualsAndSkipBlanksAndComments) {
    // The program list counts every line: its position is the program's tag.
    for (const std::string eol : {"\n", "\r\n", "\r"}) {
        SCOPED_TRACE(testing::PrintToString(eol));
        ScratchDir dir;
        WriteFile(dir / "p.ini", "\xEF\xBB\xBF[Processes]" + eol + "ProcessName0 = Editor " + eol + eol +
                                     "; note" + eol + "  bare title  " + eol + "ProcessName2=" + eol +
                                     "[Other]" + eol + "x=1" + eol + "[processes]" + eol + "Later=no" + eol);
        IniFile ini(dir / "p.ini");
        EXPECT_EQ(ini.GetSectionLines("processes"),
                  (std::vector<std::string>{"ProcessName0=Editor", "bare title", "ProcessName2="}));
        EXPECT_TRUE(ini.GetSectionLines("Missing").empty());
    }
}

TEST(IniFile, LeadingIntegerConversion) {
    EXPECT_EQ(zelmar::LeadingInt("42abc"), 42);
    EXPECT_EQ(zelmar::LeadingInt(" -7"), -7);
    EXPECT_EQ(zelmar::LeadingInt("abc"), 0);
    EXPECT_EQ(zelmar::LeadingInt(""), 0);
    EXPECT_EQ(zelmar::LeadingInt("99999999999999999999"), 2147483647);
}

}  // namespace

namespace {

// What another writer does to the file while a batch of ours is open.
struct OtherWriter {
    const char* name;
    void (*write)(const std::string& path);
} const kOtherWriters[] = {
    {"another_process_writes_a_key",
     [](const std::string& path) { ASSERT_TRUE(IniFile(path).WriteString("Webhook w", "Secret", "tok")); }},
    {"the_user_edits_by_hand",
     [](const std::string& path) { WriteFile(path, ReadFile(path) + "[Webhook w]\nSecret=tok\n"); }},
};

class ConcurrentWriter : public ::testing::TestWithParam<OtherWriter> {};

TEST_P(ConcurrentWriter, ABatchChangesOnlyTheKeysItWrote) {
    ScratchDir dir;
    WriteFile(dir / "z.ini", "[IPAddress]\nLastWANIP=192.0.2.1\n[Preferences]\nTimeout=15\n");
    IniFile ini(dir / "z.ini");
    {
        zelmar::IniBatch batch(ini);
        ASSERT_TRUE(ini.WriteString("IPAddress", "LastWANIP", std::string("192.0.2.2")));
        // Written to what it holds: no edit, so no older value comes back.
        ASSERT_TRUE(ini.WriteString("Preferences", "Timeout", std::string("15")));
        GetParam().write(dir / "z.ini");
        ASSERT_TRUE(IniFile(dir / "z.ini").WriteString("Preferences", "Timeout", std::string("30")));
        ASSERT_TRUE(batch.Commit());
    }
    EXPECT_EQ(ini.GetString("IPAddress", "LastWANIP"), "192.0.2.2");
    EXPECT_EQ(ini.GetString("Webhook w", "Secret"), "tok");
    EXPECT_EQ(ini.GetString("Preferences", "Timeout"), "30");
}

INSTANTIATE_TEST_SUITE_P(Writers, ConcurrentWriter, ::testing::ValuesIn(kOtherWriters),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, AWriteWaitsForTheProcessHoldingTheWriteLock) {
    ScratchDir dir;
    WriteFile(dir / "z.ini", "[S]\na=1\n");
    IniFile ini(dir / "z.ini");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        // A --set-* command: reads, takes its time, writes what it read plus its key.
        zelmar::IniWriteLock lock(ini);
        const std::string text = ReadFile(dir / "z.ini");
        (void)!write(ready[1], "x", 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        WriteFile(dir / "z.ini.new", text + "c=3\n");
        _exit(lock.ok() && rename((dir / "z.ini.new").c_str(), (dir / "z.ini").c_str()) == 0 ? 0 : 1);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_TRUE(ini.WriteString("S", "b", std::string("2")));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0) == pid ? WEXITSTATUS(status) : -1, 0);
    EXPECT_EQ(ini.GetString("S", "b"), "2");
    EXPECT_EQ(ini.GetString("S", "c"), "3");
}

}  // namespace
