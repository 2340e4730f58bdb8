// Files that an unlucky or hostile world puts where the settings, the log or
// a replaced file should be: a byte-order mark, old Mac line ends, links,
// read-only files, special files and floods. None may hang the program, lose
// the user's settings or be replaced by something else.
//
// The suite runs as root in CI: read-only files are judged by their mode
// bits, which the program honours even for the superuser, so the outcomes
// here do not depend on who runs them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "app/core/atomic_file.h"
#include "app/core/core.h"
#include "app/core/event_log.h"
#include "app/core/file_io.h"
#include "app/publish/ftp_page_settings.h"
#include "tests/support/fake_host.h"
#include "tests/support/peer_process.h"

using namespace zelmar;
using zelmar::test::FakeHost;
using zelmar::test::ReadFile;
using zelmar::test::ScratchDir;
using zelmar::test::WriteFile;
namespace fs = std::filesystem;

namespace {

const std::string kUserSettings =
    "[LocalSettings]\nFTPServer=ftp.mine.example\nSiteName=Mine\nSaveFileASCII=Zelmar.txt\n"
    "SaveFileHTML=Zelmar.html\nWANIPURL=http://echo.mine.example/\n"
    "[Preferences]\nIsLogging=1\nIsUpdateOnShut=1\nRefreshIntv=45\nTimeout=33\n";

std::string WithLineEnds(std::string text, const std::string& eol) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += eol;
        else
            out += c;
    }
    return out;
}

std::string LinkTarget(const std::string& path) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// What becomes of a "Zelmar.ini" of each kind when the program starts on it
// and the user then saves.
struct IniCase {
    const char* name;
    std::function<void(const std::string& dir)> make;
    bool loadsUserSettings;  // the user's values are in memory after start-up
    bool refusedAtStart;     // the "Unable to read the settings file" box
    bool saveWrites;         // the save reaches the file
    std::function<void(const std::string& dir)> check;
};

const IniCase kIniCases[] = {
    {"utf8_bom", [](const std::string& d) { WriteFile(d + "/Zelmar.ini", "\xEF\xBB\xBF" + kUserSettings); },
     true, false, true,
     [](const std::string& d) {
         const std::string text = ReadFile(d + "/Zelmar.ini");
         EXPECT_EQ(text.rfind("\xEF\xBB\xBF[LocalSettings]\n", 0), 0u);
         EXPECT_EQ(Count(text, "[LocalSettings]"), 1u);
     }},
    {"cr_only_line_ends", [](const std::string& d) { WriteFile(d + "/Zelmar.ini", WithLineEnds(kUserSettings, "\r")); },
     true, false, true,
     [](const std::string& d) {
         const std::string text = ReadFile(d + "/Zelmar.ini");
         EXPECT_EQ(text.find('\n'), std::string::npos) << "new lines follow the file's CR line ends";
         EXPECT_EQ(Count(text, "[LocalSettings]"), 1u);
     }},
    {"crlf_line_ends", [](const std::string& d) { WriteFile(d + "/Zelmar.ini", WithLineEnds(kUserSettings, "\r\n")); },
     true, false, true,
     [](const std::string& d) { EXPECT_EQ(Count(ReadFile(d + "/Zelmar.ini"), "\r\n"), Count(ReadFile(d + "/Zelmar.ini"), "\n")); }},
    {"symlink_to_a_dotfiles_folder",
     [](const std::string& d) {
         fs::create_directory(d + "/dotfiles");
         WriteFile(d + "/dotfiles/Zelmar.ini", kUserSettings);
         fs::create_symlink("dotfiles/Zelmar.ini", d + "/Zelmar.ini");
     },
     true, false, true,
     [](const std::string& d) {
         EXPECT_EQ(LinkTarget(d + "/Zelmar.ini"), "dotfiles/Zelmar.ini");
         EXPECT_NE(ReadFile(d + "/dotfiles/Zelmar.ini").find("SiteName=Saved"), std::string::npos);
     }},
    {"dangling_symlink",
     [](const std::string& d) {
         fs::create_directory(d + "/dotfiles");
         fs::create_symlink("dotfiles/Zelmar.ini", d + "/Zelmar.ini");
     },
     false, false, true,
     [](const std::string& d) {
         // A first run writes through the link and creates its target.
         EXPECT_EQ(LinkTarget(d + "/Zelmar.ini"), "dotfiles/Zelmar.ini");
         EXPECT_NE(ReadFile(d + "/dotfiles/Zelmar.ini").find("SiteName=Saved"), std::string::npos);
         EXPECT_EQ(ModeOf(d + "/dotfiles/Zelmar.ini") & 07777, 0600u);
     }},
    {"read_only_0400",
     [](const std::string& d) {
         WriteFile(d + "/Zelmar.ini", kUserSettings);
         ::chmod((d + "/Zelmar.ini").c_str(), 0400);
     },
     true, false, false,
     [](const std::string& d) {
         EXPECT_EQ(ReadFile(d + "/Zelmar.ini"), kUserSettings);
         EXPECT_EQ(ModeOf(d + "/Zelmar.ini") & 07777, 0400u);
     }},
    {"link_to_dev_null", [](const std::string& d) { fs::create_symlink("/dev/null", d + "/Zelmar.ini"); },
     false, true, false,
     [](const std::string& d) {
         EXPECT_EQ(LinkTarget(d + "/Zelmar.ini"), "/dev/null");
         EXPECT_TRUE(S_ISCHR(ModeOf("/dev/null")));
     }},
    {"fifo", [](const std::string& d) { ASSERT_EQ(::mkfifo((d + "/Zelmar.ini").c_str(), 0600), 0); },
     false, true, false, [](const std::string& d) { EXPECT_TRUE(S_ISFIFO(ModeOf(d + "/Zelmar.ini"))); }},
    {"link_to_dev_zero", [](const std::string& d) { fs::create_symlink("/dev/zero", d + "/Zelmar.ini"); },
     false, true, false, [](const std::string& d) { EXPECT_EQ(LinkTarget(d + "/Zelmar.ini"), "/dev/zero"); }},
    {"directory", [](const std::string& d) { fs::create_directory(d + "/Zelmar.ini"); },
     false, true, false, [](const std::string& d) { EXPECT_TRUE(fs::is_directory(d + "/Zelmar.ini")); }},
    {"oversized",
     [](const std::string& d) {
         WriteFile(d + "/Zelmar.ini", kUserSettings + std::string(kMaxIniFileBytes, ';') + "\n");
     },
     false, true, false,
     [](const std::string& d) { EXPECT_EQ(fs::file_size(d + "/Zelmar.ini"), kUserSettings.size() + kMaxIniFileBytes + 1); }},
};

class HostileSettingsFile : public ::testing::TestWithParam<IniCase> {};

TEST_P(HostileSettingsFile, NeverHangsLosesOrReplacesWhatItShouldNot) {
    const IniCase& c = GetParam();
    ScratchDir dir;
    c.make(dir.path());
    FakeHost host;
    Core core(host, dir.path(), dir / "Zelmar.ini", "k");
    core.LoadOrCreateSettings();

    const Settings s = core.settings();
    EXPECT_EQ(FtpPageOf(s).ftpPage.SiteName == "Mine" && s.Timeout == 33 && s.IsUpdateOnShut == 1, c.loadsUserSettings);
    const bool refused = !host.boxes.empty() && host.boxes[0].text.rfind("Unable to read the settings file", 0) == 0;
    EXPECT_EQ(refused, c.refusedAtStart);
    if (refused) {
        EXPECT_NE(host.boxes[0].text.find("The file is left unchanged."), std::string::npos);
        // The reason is named, not guessed from an errno.
        const std::string& t = host.boxes[0].text;
        EXPECT_TRUE(t.find("not a regular file") != std::string::npos || t.find("larger than") != std::string::npos)
            << t;
    }

    core.EditSettings([](Settings& e) { FtpPageOf(e).ftpPage.SiteName = "Saved"; });
    core.SaveSettings();
    IniFile after(dir / "Zelmar.ini");
    EXPECT_EQ(after.GetString(kLocalSettings, "SiteName") == "Saved", c.saveWrites);
    c.check(dir.path());
    // No temp file is left behind.
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileSettingsFile, ::testing::ValuesIn(kIniCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NewSettingsFile, IsPrivateWhateverTheUmask) {
    for (mode_t mask : {0000, 0022, 0077, 0277}) {
        SCOPED_TRACE(mask);
        ScratchDir dir;
        const mode_t old = ::umask(mask);
        FakeHost host;
        Core core(host, dir.path(), dir / "Zelmar.ini", "k");
        core.LoadOrCreateSettings();
        ::umask(old);
        EXPECT_EQ(ModeOf(dir / "Zelmar.ini") & 07777, 0600u);
        EXPECT_TRUE(host.boxes.empty());
    }
}

// --- the log ----------------------------------------------------------------

struct LogCase {
    const char* name;
    std::function<void(const std::string& dir)> make;  // makes "Zelmar.log"
    bool writeReported;  // EventLogWrite returns false ("Error opening log file.")
    std::function<void(const std::string& dir)> check;
};

const std::string kOldLog = "01/01/01 00:00:00  ancient\r\n";

const LogCase kLogCases[] = {
    {"symlink",
     [](const std::string& d) {
         fs::create_directory(d + "/logs");
         WriteFile(d + "/logs/real.log", kOldLog);
         fs::create_symlink("logs/real.log", d + "/Zelmar.log");
     },
     true,
     [](const std::string& d) {
         // A link planted under the log's name is never written through:
         // neither purged nor appended to, and reported.
         EXPECT_EQ(LinkTarget(d + "/Zelmar.log"), "logs/real.log");
         EXPECT_EQ(ReadFile(d + "/logs/real.log"), kOldLog);
     }},
    {"read_only_0400",
     [](const std::string& d) {
         WriteFile(d + "/Zelmar.log", kOldLog);
         ::chmod((d + "/Zelmar.log").c_str(), 0400);
     },
     false,  // lost silently, as for a log that cannot be opened
     [](const std::string& d) { EXPECT_EQ(ReadFile(d + "/Zelmar.log"), kOldLog); }},
    {"fifo", [](const std::string& d) { ASSERT_EQ(::mkfifo((d + "/Zelmar.log").c_str(), 0600), 0); }, true,
     [](const std::string& d) { EXPECT_TRUE(S_ISFIFO(ModeOf(d + "/Zelmar.log"))); }},
    {"link_to_dev_null", [](const std::string& d) { fs::create_symlink("/dev/null", d + "/Zelmar.log"); }, true,
     [](const std::string& d) { EXPECT_EQ(LinkTarget(d + "/Zelmar.log"), "/dev/null"); }},
    {"link_to_dev_zero", [](const std::string& d) { fs::create_symlink("/dev/zero", d + "/Zelmar.log"); }, true,
     [](const std::string& d) { EXPECT_EQ(LinkTarget(d + "/Zelmar.log"), "/dev/zero"); }},
    {"directory", [](const std::string& d) { fs::create_directory(d + "/Zelmar.log"); }, true,
     [](const std::string& d) { EXPECT_TRUE(fs::is_directory(d + "/Zelmar.log")); }},
};

class HostileLogFile : public ::testing::TestWithParam<LogCase> {};

TEST_P(HostileLogFile, NeverHangsAndNeverReplacesWhatItShouldNot) {
    const LogCase& c = GetParam();
    ScratchDir dir;
    c.make(dir.path());
    FakeHost host;
    LogSettings s{1, dir / "Zelmar.log", 7};
    EXPECT_EQ(EventLogWrite("hello", s, host), !c.writeReported);
    c.check(dir.path());
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileLogFile, ::testing::ValuesIn(kLogCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the shared reader and writer ---------------------------------------------

TEST(ReadRegularFile, RefusesSpecialFilesAndKeepsToItsCap) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_directory(dir / "folder");
    WriteFile(dir / "ten", "0123456789");
    struct Case {
        std::string path;
        std::size_t cap;
        CapMode mode;
        bool ok, missing, notRegular, tooLarge;
        std::string data;
    } cases[] = {
        {dir / "fifo", 100, CapMode::Refuse, false, false, true, false, ""},
        {"/dev/zero", 100, CapMode::Truncate, false, false, true, false, ""},
        {dir / "folder", 100, CapMode::Refuse, false, false, true, false, ""},
        {dir / "none", 100, CapMode::Refuse, false, true, false, false, ""},
        {dir / "ten", 10, CapMode::Refuse, true, false, false, false, "0123456789"},  // exactly the cap
        {dir / "ten", 9, CapMode::Refuse, false, false, false, true, ""},
        {dir / "ten", 9, CapMode::Truncate, true, false, false, false, "012345678"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " cap " + std::to_string(c.cap));
        const FileReadResult r = ReadRegularFile(c.path, c.cap, c.mode);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.missing, c.missing);
        EXPECT_EQ(r.notRegular, c.notRegular);
        EXPECT_EQ(r.tooLarge, c.tooLarge);
        EXPECT_EQ(r.data, c.data);
        EXPECT_EQ(r.error.empty(), c.ok);
    }
}

TEST(WritableByModeBits, DecidesByOwnerAndModeNotByWhoAsks) {
    struct stat st {};
    st.st_uid = ::geteuid();
    st.st_gid = ::getegid();
    st.st_mode = S_IFREG | 0400;
    EXPECT_FALSE(WritableByModeBits(st));
    st.st_mode = S_IFREG | 0600;
    EXPECT_TRUE(WritableByModeBits(st));
    st.st_mode = S_IFREG | 0060;  // the group may, the owner may not
    EXPECT_FALSE(WritableByModeBits(st));
}

TEST(ReplaceFileAtomically, FlushThatFailsKeepsTheOldFileAndNoTemp) {
    ScratchDir dir;
    WriteFile(dir / "f", "old");
    AtomicFileSeams seams;
    seams.failFsync = [](const std::string& path) { return path.ends_with("/f") ? EIO : 0; };
    SetAtomicFileSeams(seams);
    const AtomicWriteResult r = ReplaceFileAtomically(dir / "f", "new");
    SetAtomicFileSeams({});
    EXPECT_EQ(r.outcome, AtomicWriteResult::Outcome::WriteFailed);
    EXPECT_EQ(r.err, EIO);
    EXPECT_EQ(ReadFile(dir / "f"), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(ReplaceFileAtomically, LinkChainsAndRelativeTargets) {
    ScratchDir dir;
    fs::create_directories(dir / "a/b");
    WriteFile(dir / "a/b/real", "old");
    fs::create_symlink("b/real", dir / "a/hop");   // relative to a/
    fs::create_symlink("a/hop", dir / "first");     // relative to the scratch folder
    ASSERT_TRUE(ReplaceFileAtomically(dir / "first", "new").ok());
    EXPECT_EQ(ReadFile(dir / "a/b/real"), "new");
    EXPECT_EQ(LinkTarget(dir / "first"), "a/hop");
    EXPECT_EQ(LinkTarget(dir / "a/hop"), "b/real");
    // A loop of links is refused, not followed for ever.
    fs::create_symlink("loop2", dir / "loop1");
    fs::create_symlink("loop1", dir / "loop2");
    EXPECT_FALSE(ReplaceFileAtomically(dir / "loop1", "x").ok());
    EXPECT_EQ(LinkTarget(dir / "loop1"), "loop2");
}

// A secret read from standard input: an endless input (/dev/zero) or a
// flood stops one byte past the limit; a line ends at its line end.
TEST(BoundedLine, StopsAtTheLimitWhateverComes) {
    struct Case {
        const char* name;
        bool endless;  // /dev/zero instead of input
        std::string input, line;
        bool got;
    } cases[] = {
        {"endless", true, "", std::string(4097, '\0'), true},
        {"flood_without_line_end", false, std::string(100000, 'x'), std::string(4097, 'x'), true},
        {"crlf", false, "pw 1\r\nnext\n", "pw 1", true},
        {"last_line_without_end", false, "pw", "pw", true},
        {"no_input", false, "", "", false},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        WriteFile(dir / "in", c.input);
        const int fd = ::open(c.endless ? "/dev/zero" : (dir / "in").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string line;
        EXPECT_EQ(ReadBoundedLine(fd, 4096, line), c.got) << c.name;
        EXPECT_EQ(line, c.line) << c.name;
        ::close(fd);
    }
}

}  // namespace
